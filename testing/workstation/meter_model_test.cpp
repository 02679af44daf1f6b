// The simulated meter's readings: each slave its own load, and energy
// counters that count what the power delivered, so that energy over a period
// agrees with the power the meter showed.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "meter_model.h"

using namespace pondrel;

TEST(MeterModel, EnergyRisesByThePowerHeldOverEachRound) {
    for (const double seconds : {0.1, 1.0, 10.0, 3600.0}) {
        SCOPED_TRACE(seconds);
        MeterModel model(3);
        double delivered_kwh[kMeterCircuits] = {};
        const MeterReadings first = model.advance(seconds);
        MeterReadings before = first;
        for (int round = 2; round <= 500; ++round) {
            for (int c = 0; c < kMeterCircuits; ++c) delivered_kwh[c] += before.power[c] * seconds / 3.6e6;
            before = model.advance(seconds);
        }
        for (int c = 0; c < kMeterCircuits; ++c) {
            const double rise = static_cast<double>(before.energy[c]) - static_cast<double>(first.energy[c]);
            // Within the counters' float resolution.
            EXPECT_NEAR(rise, delivered_kwh[c], 2e-5 * std::abs(before.energy[c])) << c;
            EXPECT_GT(rise, 0.0) << c;
        }
    }
}

TEST(MeterModel, EachSlaveDrawsItsOwnLoadAndReplaysExactly) {
    const MeterReadings one = readings_at(7, 1), two = readings_at(7, 2), three = readings_at(7, 3);
    for (int c = 0; c < kMeterCircuits; ++c) {
        EXPECT_NE(one.current[c], two.current[c]) << c;
        EXPECT_NE(two.current[c], three.current[c]) << c;
        EXPECT_NE(one.energy[c], two.energy[c]) << c;
        // Power follows the meter's own voltage and current.
        EXPECT_NEAR(two.power[c], two.voltage * two.current[c] * 0.95, 1e-3 * two.power[c]) << c;
    }
    // Rounds of the same meter time are the same readings, whoever asks.
    MeterModel model(2);
    for (int round = 1; round <= 7; ++round) model.advance(1.0);
    EXPECT_EQ(std::memcmp(&model.readings(), &two, sizeof two), 0);
    // Round 1 shows the starting counters, whatever time came before it.
    EXPECT_EQ(readings_at(1, 2, 1.0).energy[5], readings_at(1, 2, 900.0).energy[5]);
}
