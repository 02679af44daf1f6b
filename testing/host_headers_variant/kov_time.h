// Calendar time as the host hands it out: get_ttime() turns a local ptime
// into this struct. Stored records copy its first 7 bytes verbatim, so those
// bytes are a binary format:
//   year (u16, machine byte order) | month | day | hour | minute | second (u8 each)
// The bytes after them belong to the host and are never copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

struct ttime_t {
    std::uint16_t year;
    std::uint8_t month;   // 1 = January
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
    std::uint8_t weekday;  // 0 = Sunday
    std::uint16_t millisecond;
};

// Size of the leading part that records copy.
constexpr std::size_t kTTimeCalendarBytes = 7;

static_assert(offsetof(ttime_t, year) == 0, "year leads the calendar bytes");
static_assert(offsetof(ttime_t, second) == kTTimeCalendarBytes - 1,
              "the calendar bytes are contiguous");

// Host function: breaks `t` into calendar fields. Thread-safe.
ttime_t get_ttime(boost::posix_time::ptime t);
