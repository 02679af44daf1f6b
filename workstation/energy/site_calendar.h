// The site's calendar: its time zone (an IANA name, or the machine's), the
// local periods reports are given in (an hour, a day from local midnight to
// local midnight, an ISO week from Monday, a month, a year) and instants
// written as ISO 8601 with the offset in force. Uses the system's time zone
// database. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace date {
class time_zone;
}

namespace pondrel {

enum class Period { Hour, Day, Week, Month, Year };

// "hour", "day", "week", "month", "year"; nothing for another word.
std::optional<Period> period_named(const std::string& name);
const char* period_name(Period period);

class SiteZone {
public:
    // The zone named (throws std::runtime_error naming it when the database
    // has none of that name), or with an empty name the machine's: TZ when it
    // names a zone, else /etc/localtime, else UTC.
    explicit SiteZone(const std::string& name = "");
    const std::string& name() const { return name_; }

    // The start of the period that holds `unix_s`, and the start of the next.
    std::int64_t period_start(Period period, std::int64_t unix_s) const;
    std::int64_t next_period(Period period, std::int64_t start) const;
    // Seconds east of UTC in force at `unix_s`.
    int offset_at(std::int64_t unix_s) const;
    // "2026-03-29T00:00:00+01:00".
    std::string iso(std::int64_t unix_s) const;
    // Local "2026-03-29" and "00:00".
    std::string local_date(std::int64_t unix_s) const;
    std::string local_clock(std::int64_t unix_s) const;
    // The local calendar at `unix_s` in one look-up: days since 1970-01-01
    // (local), weekday (0 Monday ... 6 Sunday) and minute of the day.
    struct Local {
        std::int64_t day;
        int weekday;
        int minute;
    };
    Local local(std::int64_t unix_s) const;
    // The instant of local midnight starting the local day `yyyy_mm_dd`
    // ("2026-03-29"), or nothing when malformed.
    std::optional<std::int64_t> local_midnight(const std::string& yyyy_mm_dd) const;

private:
    const date::time_zone* zone_;
    std::string name_;
};

}  // namespace pondrel
