// The energy guard: a counter published only rising or really reset.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "energy_guard.h"

using pondrel::EnergyGuard;
using Verdict = EnergyGuard::Verdict;

TEST(EnergyGuard, RefusesNotANumberAndDipsAndTakesAResetThatLasts) {
    const float nan = std::nanf("");
    const struct {
        const char* name;
        std::vector<float> readings;
        std::vector<Verdict> verdicts;
        float last;
    } cases[] = {
        {"rising and equal", {1, 2, 2, 3}, {Verdict::Taken, Verdict::Taken, Verdict::Taken, Verdict::Taken}, 3},
        {"not a number", {5, nan, INFINITY, 6}, {Verdict::Taken, Verdict::Refused, Verdict::Refused, Verdict::Taken}, 6},
        {"a dip and back", {5, 0, 5.5}, {Verdict::Taken, Verdict::Refused, Verdict::Taken}, 5.5},
        {"a reset: ten lower in a row",
         {100, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5},
         {Verdict::Taken, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused,
          Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Reset},
         5},
        {"nine lower then higher is no reset",
         {100, 1, 1, 1, 1, 1, 1, 1, 1, 1, 100, 1},
         {Verdict::Taken, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused,
          Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Refused, Verdict::Taken, Verdict::Refused},
         100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnergyGuard guard;
        std::vector<Verdict> verdicts;
        for (float reading : c.readings) verdicts.push_back(guard.take(reading));
        EXPECT_EQ(verdicts, c.verdicts);
        EXPECT_EQ(guard.last(), c.last);
    }
}

TEST(EnergyGuard, ASeedFromBeforeARestartHoldsBackALowerReading) {
    EnergyGuard guard;
    guard.seed(50);
    EXPECT_EQ(guard.take(49), Verdict::Refused);
    EXPECT_EQ(guard.take(51), Verdict::Taken);
}
