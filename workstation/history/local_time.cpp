#include "local_time.h"

#include <cstdio>

namespace pondrel {

namespace {

// Calendar fields as the C library takes them; nothing when out of range.
std::optional<std::tm> fields_of(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    // A day the month has (the 30th of February is no date).
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return fields;
}

std::optional<std::time_t> local_instant(int year, int month, int day, int hour, int minute, int second) {
    std::optional<std::tm> fields = fields_of(year, month, day, hour, minute, second);
    if (!fields) return std::nullopt;
    fields->tm_isdst = -1;
    const std::time_t instant = std::mktime(&*fields);
    if (instant == static_cast<std::time_t>(-1) && !(year == 1969 && month == 12 && day == 31)) return std::nullopt;
    return instant;
}

// The calendar fields of a stored time, "YYYY-MM-DDTHH:MM:SS" (or with a
// space); nothing for any other text.
std::optional<std::tm> stored_fields(const std::string& saved_at) {
    int year, month, day, hour, minute, second;
    char sep;
    int used = 0;
    if (std::sscanf(saved_at.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &year, &month, &day, &sep, &hour, &minute, &second,
                    &used) != 7 ||
        static_cast<std::size_t>(used) != saved_at.size() || (sep != 'T' && sep != ' ')) {
        return std::nullopt;
    }
    return fields_of(year, month, day, hour, minute, second);
}

}  // namespace

std::optional<std::time_t> instant_of_local(const std::string& saved_at) {
    const std::optional<std::tm> fields = stored_fields(saved_at);
    if (!fields) return std::nullopt;
    return local_instant(fields->tm_year + 1900, fields->tm_mon + 1, fields->tm_mday, fields->tm_hour, fields->tm_min,
                         fields->tm_sec);
}

std::optional<std::time_t> instant_of_stored(const std::string& saved_at, std::optional<int> utc_offset_s) {
    if (!utc_offset_s) return instant_of_local(saved_at);
    std::optional<std::tm> fields = stored_fields(saved_at);
    if (!fields || *utc_offset_s < -14 * 3600 || *utc_offset_s > 14 * 3600) return std::nullopt;
    return timegm(&*fields) - *utc_offset_s;
}

std::string iso_at_offset(std::time_t instant, int utc_offset_s) {
    const std::time_t shifted = instant + utc_offset_s;
    std::tm at{};
    gmtime_r(&shifted, &at);
    char text[64];
    const int minutes = (utc_offset_s < 0 ? -utc_offset_s : utc_offset_s) / 60;
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", at.tm_year + 1900, at.tm_mon + 1,
                  at.tm_mday, at.tm_hour, at.tm_min, at.tm_sec, utc_offset_s < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

std::string iso_with_offset(std::time_t instant) {
    std::tm local{};
    localtime_r(&instant, &local);
    char text[64];
    const long offset = local.tm_gmtoff;
    const int minutes = static_cast<int>(((offset < 0 ? -offset : offset) / 60) % (24 * 60));
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return text;
}

std::optional<std::time_t> parse_time_argument(const std::string& text) {
    int year, month, day, hour = 0, minute = 0, second = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3) return std::nullopt;
    std::string rest = text.substr(static_cast<std::size_t>(used));
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == ' ')) {
        int clock_used = 0;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &hour, &minute, &clock_used) != 2) return std::nullopt;
        rest = rest.substr(1 + static_cast<std::size_t>(clock_used));
        if (!rest.empty() && rest[0] == ':') {
            int seconds_used = 0;
            if (std::sscanf(rest.c_str() + 1, "%2d%n", &second, &seconds_used) != 1) return std::nullopt;
            rest = rest.substr(1 + static_cast<std::size_t>(seconds_used));
        }
    }
    if (rest.empty()) return local_instant(year, month, day, hour, minute, second);
    long offset = 0;
    if (rest != "Z") {
        int oh = 0, om = 0, offset_used = 0;
        if ((rest[0] != '+' && rest[0] != '-') ||
            std::sscanf(rest.c_str() + 1, "%2d:%2d%n", &oh, &om, &offset_used) != 2 ||
            static_cast<std::size_t>(offset_used) + 1 != rest.size() || om > 59 || oh * 60 + om > 14 * 60) {
            return std::nullopt;
        }
        offset = (rest[0] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
    }
    std::optional<std::tm> fields = fields_of(year, month, day, hour, minute, second);
    if (!fields) return std::nullopt;
    return timegm(&*fields) - offset;
}

}  // namespace pondrel
