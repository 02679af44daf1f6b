// When the next round starts: on the schedule's phase, skipping the periods
// a long round overran, at once when polling back to back.
#include <gtest/gtest.h>

#include "round_schedule.h"

using namespace pondrel;
using namespace std::chrono_literals;

TEST(RoundSchedule, KeepsThePhaseAndSkipsMissedPeriods) {
    const Clock::time_point t0{};
    const struct {
        const char* name;
        Clock::time_point next;
        Clock::duration period;
        Clock::time_point now;
        Clock::time_point expected;
    } cases[] = {
        {"next still ahead", t0 + 1s, 1s, t0 + 300ms, t0 + 1s},
        {"just overran", t0 + 1s, 1s, t0 + 1200ms, t0 + 2s},
        {"overran three periods", t0 + 1s, 1s, t0 + 3500ms, t0 + 4s},
        {"exactly on a period", t0 + 1s, 1s, t0 + 2s, t0 + 3s},
        {"back to back", t0 + 1s, Clock::duration::zero(), t0 + 5s, t0 + 5s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(next_start(c.next, c.period, c.now), c.expected);
    }
}
