// Fixture for tests of one loaded driver: a fresh driver from the plug-in, a
// recording host with an empty call log, and local time eight hours east of
// UTC, so that a mix-up of local and universal time shows.
#pragma once

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "driver_harness.h"
#include "recording_host.h"

namespace testing_support {

inline void use_zone_east_of_utc() {
    setenv("TZ", "CST-8", 1);
    tzset();
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        use_zone_east_of_utc();
        recorder::host().reset();
        driver = harness::make_driver();
    }
    void TearDown() override {
        driver.reset();
        recorder::host().reset();
    }

    recorder::RecordingHost& host() { return recorder::host(); }

    harness::DriverPtr driver;
};

}  // namespace testing_support
