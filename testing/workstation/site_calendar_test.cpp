// The site's calendar: local periods of each kind in zones with and without
// daylight saving, half-hour changes included, and instants with offsets.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "site_calendar.h"

using namespace pondrel;

TEST(SiteZone, PeriodsRunFromLocalStartToLocalStartAcrossChanges) {
    struct Case {
        const char* zone;
        Period period;
        const char* inside;  // an instant in the period
        const char* start;   // its start and end, local with offset
        const char* end;
        double hours;        // its length
    };
    const std::vector<Case> cases = {
        {"Europe/Berlin", Period::Day, "2026-03-29T12:00:00+02:00", "2026-03-29T00:00:00+01:00",
         "2026-03-30T00:00:00+02:00", 23},
        {"Europe/Berlin", Period::Day, "2026-10-25T23:59:59+01:00", "2026-10-25T00:00:00+02:00",
         "2026-10-26T00:00:00+01:00", 25},
        {"Europe/Berlin", Period::Hour, "2026-10-25T02:30:00+01:00", "2026-10-25T02:00:00+01:00",
         "2026-10-25T03:00:00+01:00", 1},
        {"Europe/Berlin", Period::Hour, "2026-10-25T02:30:00+02:00", "2026-10-25T02:00:00+02:00",
         "2026-10-25T02:00:00+01:00", 1},
        {"Europe/Berlin", Period::Month, "2026-10-15T12:00:00+02:00", "2026-10-01T00:00:00+02:00",
         "2026-11-01T00:00:00+01:00", 31 * 24 + 1},
        {"America/New_York", Period::Day, "2026-03-08T12:00:00-04:00", "2026-03-08T00:00:00-05:00",
         "2026-03-09T00:00:00-04:00", 23},
        {"America/New_York", Period::Week, "2026-11-01T12:00:00-05:00", "2026-10-26T00:00:00-04:00",
         "2026-11-02T00:00:00-05:00", 7 * 24 + 1},
        {"Australia/Lord_Howe", Period::Day, "2026-04-05T12:00:00+10:30", "2026-04-05T00:00:00+11:00",
         "2026-04-06T00:00:00+10:30", 24.5},
        {"Australia/Lord_Howe", Period::Day, "2026-10-04T12:00:00+11:00", "2026-10-04T00:00:00+10:30",
         "2026-10-05T00:00:00+11:00", 23.5},
        {"Australia/Lord_Howe", Period::Hour, "2026-04-05T01:45:00+10:30", "2026-04-05T01:00:00+11:00",
         "2026-04-05T02:00:00+10:30", 1.5},
        {"UTC", Period::Week, "2026-12-10T08:00:00+00:00", "2026-12-07T00:00:00+00:00", "2026-12-14T00:00:00+00:00",
         7 * 24},
        {"UTC", Period::Month, "2026-02-14T08:00:00+00:00", "2026-02-01T00:00:00+00:00", "2026-03-01T00:00:00+00:00",
         28 * 24},
        {"UTC", Period::Year, "2024-07-01T00:00:00+00:00", "2024-01-01T00:00:00+00:00", "2025-01-01T00:00:00+00:00",
         366 * 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + period_name(c.period) + " " + c.inside);
        const SiteZone zone(c.zone);
        const SiteZone utc("UTC");
        // The instant of c.inside: its local fields less its offset.
        const std::string text = c.inside;
        const int sign = text[19] == '-' ? -1 : 1;
        const int offset = sign * (std::stoi(text.substr(20, 2)) * 3600 + std::stoi(text.substr(23, 2)) * 60);
        const std::int64_t local = *utc.local_midnight(text.substr(0, 10)) + std::stoi(text.substr(11, 2)) * 3600 +
                                   std::stoi(text.substr(14, 2)) * 60 + std::stoi(text.substr(17, 2));
        const std::int64_t instant = local - offset;
        ASSERT_EQ(zone.iso(instant), text);
        const std::int64_t start = zone.period_start(c.period, instant);
        const std::int64_t end = zone.next_period(c.period, start);
        EXPECT_EQ(zone.iso(start), c.start);
        EXPECT_EQ(zone.iso(end), c.end);
        EXPECT_DOUBLE_EQ(static_cast<double>(end - start) / 3600.0, c.hours);
    }
}

TEST(SiteZone, RefusesAnUnknownZoneByName) {
    try {
        SiteZone zone("Europe/Atlantis");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unknown time zone 'Europe/Atlantis' (an IANA name such as Europe/Berlin)");
    }
    EXPECT_EQ(period_named("fortnight"), std::nullopt);
}
