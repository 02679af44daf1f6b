#include "round_values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <boost/date_time/posix_time/conversion.hpp>

#include "history.h"
#include "pondrel_data.h"

namespace pondrel {

std::string reading_text(float value) {
    if (!std::isfinite(value)) return "";
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

std::optional<RoundValues> round_values(const std::vector<unsigned char>& record) {
    Pondrel_Data_t data{};
    if (record.size() != sizeof data) return std::nullopt;
    std::memcpy(&data, record.data(), sizeof data);
    RoundValues values;
    values.voltage = data.voltage;
    for (int n = 0; n < kPondrelCircuits; ++n) {
        values.current[n] = data.current[n];
        values.power[n] = data.power[n];
        values.energy[n] = data.energy[n];
    }
    return values;
}

std::string iso_time_with_offset(const boost::posix_time::ptime& local) {
    if (local.is_special()) return "";
    const std::tm tm = boost::posix_time::to_tm(local);
    const long offset = utc_offset_at(local);  // seconds east of UTC
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 3600 % 100,
                  (std::labs(offset) % 3600) / 60);
    return text;
}

}  // namespace pondrel
