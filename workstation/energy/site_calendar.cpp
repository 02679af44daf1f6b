#include "site_calendar.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <date/date.h>
#include <date/tz.h>

namespace pondrel {

namespace {

using std::chrono::seconds;

date::sys_seconds sys(std::int64_t unix_s) { return date::sys_seconds{seconds{unix_s}}; }
std::int64_t unix_of(date::sys_seconds t) { return t.time_since_epoch().count(); }

const date::time_zone* machine_zone(std::string& name) {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        std::string wanted = tz[0] == ':' ? tz + 1 : tz;
        const std::string prefix = "/usr/share/zoneinfo/";
        if (wanted.compare(0, prefix.size(), prefix) == 0) wanted.erase(0, prefix.size());
        try {
            const date::time_zone* zone = date::locate_zone(wanted);
            name = zone->name();
            return zone;
        } catch (const std::exception&) {
            // Not a zone's name (a POSIX rule): the machine's file decides.
        }
    }
    try {
        const date::time_zone* zone = date::current_zone();
        name = zone->name();
        return zone;
    } catch (const std::exception&) {
        const date::time_zone* zone = date::locate_zone("UTC");
        name = zone->name();
        return zone;
    }
}

}  // namespace

std::optional<Period> period_named(const std::string& name) {
    if (name == "hour") return Period::Hour;
    if (name == "day") return Period::Day;
    if (name == "week") return Period::Week;
    if (name == "month") return Period::Month;
    if (name == "year") return Period::Year;
    return std::nullopt;
}

const char* period_name(Period period) {
    switch (period) {
        case Period::Hour: return "hour";
        case Period::Day: return "day";
        case Period::Week: return "week";
        case Period::Month: return "month";
        case Period::Year: return "year";
    }
    return "";
}

SiteZone::SiteZone(const std::string& name) {
    if (name.empty()) {
        zone_ = machine_zone(name_);
        return;
    }
    try {
        zone_ = date::locate_zone(name);
    } catch (const std::exception&) {
        throw std::runtime_error("unknown time zone '" + name + "' (an IANA name such as Europe/Berlin)");
    }
    name_ = zone_->name();
}

std::int64_t SiteZone::period_start(Period period, std::int64_t unix_s) const {
    const date::local_seconds local = zone_->to_local(sys(unix_s));
    const date::local_days day = date::floor<date::days>(local);
    date::local_seconds start;
    switch (period) {
        case Period::Hour:
            start = date::floor<std::chrono::hours>(local);
            break;
        case Period::Day:
            start = day;
            break;
        case Period::Week:
            start = day - (date::weekday{day} - date::Monday);
            break;
        case Period::Month: {
            const date::year_month_day ymd{day};
            start = date::local_days{ymd.year() / ymd.month() / 1};
            break;
        }
        case Period::Year:
            start = date::local_days{date::year_month_day{day}.year() / 1 / 1};
            break;
    }
    // A local start skipped by a change begins at the change; of an hour
    // that comes twice, the one `unix_s` is in.
    if (period == Period::Hour) {
        const std::int64_t latest = unix_of(zone_->to_sys(start, date::choose::latest));
        if (latest <= unix_s) return latest;
    }
    return unix_of(zone_->to_sys(start, date::choose::earliest));
}

std::int64_t SiteZone::next_period(Period period, std::int64_t start) const {
    const date::local_seconds local = zone_->to_local(sys(start));
    const date::local_days day = date::floor<date::days>(local);
    date::local_seconds next;
    switch (period) {
        case Period::Hour:
            next = date::floor<std::chrono::hours>(local) + std::chrono::hours(1);
            break;
        case Period::Day:
            next = day + date::days(1);
            break;
        case Period::Week:
            next = day - (date::weekday{day} - date::Monday) + date::days(7);
            break;
        case Period::Month: {
            const date::year_month_day ymd{day};
            next = date::local_days{(ymd.year() / ymd.month() / 1) + date::months(1)};
            break;
        }
        case Period::Year:
            next = date::local_days{(date::year_month_day{day}.year() + date::years(1)) / 1 / 1};
            break;
    }
    if (period != Period::Hour) return unix_of(zone_->to_sys(next, date::choose::earliest));
    // The next local hour, or the same hour coming again after a change back.
    std::int64_t found = unix_of(zone_->to_sys(next, date::choose::latest));
    const std::int64_t again = period_start(Period::Hour, start + 3600);
    if (again > start && again < found) found = again;
    return found > start ? found : start + 3600;
}

int SiteZone::offset_at(std::int64_t unix_s) const {
    return static_cast<int>(zone_->get_info(sys(unix_s)).offset.count());
}

std::string SiteZone::iso(std::int64_t unix_s) const {
    const int offset = offset_at(unix_s);
    const int magnitude = offset < 0 ? -offset : offset;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 3600 % 100,
                  magnitude % 3600 / 60);
    return local_date(unix_s) + "T" + date::format("%T", date::floor<seconds>(zone_->to_local(sys(unix_s)))) + zone;
}

std::string SiteZone::local_date(std::int64_t unix_s) const {
    return date::format("%F", date::floor<date::days>(zone_->to_local(sys(unix_s))));
}

std::string SiteZone::local_clock(std::int64_t unix_s) const {
    return date::format("%R", date::floor<std::chrono::minutes>(zone_->to_local(sys(unix_s))));
}

SiteZone::Local SiteZone::local(std::int64_t unix_s) const {
    const std::int64_t at = unix_s + offset_at(unix_s);
    const std::int64_t day = at >= 0 ? at / 86400 : -((-at + 86399) / 86400);
    // 1970-01-01 was a Thursday (3 counting from Monday).
    return {day, static_cast<int>(((day % 7) + 7 + 3) % 7), static_cast<int>((at - day * 86400) / 60)};
}

std::optional<std::int64_t> SiteZone::local_midnight(const std::string& yyyy_mm_dd) const {
    int y, m, d, used = 0;
    if (std::sscanf(yyyy_mm_dd.c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &used) != 3 ||
        static_cast<std::size_t>(used) != yyyy_mm_dd.size() || yyyy_mm_dd.size() != 10) {
        return std::nullopt;
    }
    const date::year_month_day ymd{date::year{y}, date::month{static_cast<unsigned>(m)},
                                   date::day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return unix_of(zone_->to_sys(date::local_seconds{date::local_days{ymd}}, date::choose::earliest));
}

}  // namespace pondrel
