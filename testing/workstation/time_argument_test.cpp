// pondrel-history's --since and --until: local times, UTC and offsets, and
// what is refused.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "local_time.h"

using namespace pondrel;

TEST(TimeArgument, ReadsLocalUtcAndOffsetTimesAndRefusesTheRest) {
    setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
    tzset();
    const std::time_t noon_utc = 1796904000;  // 2026-12-10T12:00:00Z
    const struct {
        const char* text;
        std::optional<std::time_t> when;
    } cases[] = {
        {"2026-12-10T12:00:00Z", noon_utc},
        {"2026-12-10T12:00Z", noon_utc},
        {"2026-12-10T20:00", noon_utc},
        {"2026-12-10 20:00:00", noon_utc},
        {"2026-12-10T14:00+02:00", noon_utc},
        {"2026-12-10T07:30-04:30", noon_utc},
        {"2026-12-11", noon_utc + 4 * 3600},
        {"", std::nullopt},
        {"yesterday", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-02-29", std::nullopt},
        {"2026-04-31T10:00Z", std::nullopt},
        {"2026-12-10T25:00", std::nullopt},
        {"2026-12-10T12:00+0200", std::nullopt},
        {"2026-12-10T12:00:00Zjunk", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_time_argument(c.text), c.when);
    }
}

TEST(TimeArgument, AnInstantIsShownWithTheOffsetOfItsZone) {
    setenv("TZ", "CST-8", 1);
    tzset();
    EXPECT_EQ(iso_with_offset(1796904000), "2026-12-10T20:00:00+08:00");
    EXPECT_EQ(instant_of_local("2026-12-10T20:00:00"), std::optional<std::time_t>(1796904000));
    EXPECT_FALSE(instant_of_local("2026-12-10 20:00").has_value());
}
