#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "kov_time.h"
#include "host_services.h"

using pondrel::default_services;

ttime_t get_ttime(boost::posix_time::ptime t) {
    ttime_t out{};
    if (!t.is_special()) {
        const boost::gregorian::date day = t.date();
        const boost::posix_time::time_duration clock = t.time_of_day();
        out.year = static_cast<std::uint16_t>(day.year());
        out.month = static_cast<std::uint8_t>(day.month().as_number());
        out.day = static_cast<std::uint8_t>(day.day());
        out.hour = static_cast<std::uint8_t>(clock.hours());
        out.minute = static_cast<std::uint8_t>(clock.minutes());
        out.second = static_cast<std::uint8_t>(clock.seconds());
        out.weekday = static_cast<std::uint8_t>(day.day_of_week().as_number());
        out.millisecond = static_cast<std::uint16_t>(clock.total_milliseconds() % 1000);
    }
    default_services().get_ttime(t, out);
    return out;
}
