// The plug-in and the data device layer allocate nothing while they poll:
// after a first round, whole rounds and unchanged snapshot texts cost no
// heap allocation (the recording host is quiet, so every count is the device's).
#include <gtest/gtest.h>

#include "alloc_probe.h"
#include "driver_fixture.h"
#include "driver_harness.h"
#include "stdout_capture.h"

namespace {

class AllocationTest : public testing_support::DriverTest {};

}  // namespace

TEST_F(AllocationTest, PollingRoundsAfterTheFirstAllocateNothing) {
    host().quiet = true;
    const Pondrel_Data_t values = harness::uniform_record(3.0f);
    testing_support::StdoutCapture quiet;
    harness::complete_round(*driver, values);

    const std::size_t before = alloc_probe::allocations();
    for (int round = 0; round < 20; ++round) harness::complete_round(*driver, values);
    const std::size_t during = alloc_probe::allocations() - before;
    quiet.text();
    EXPECT_EQ(during, 0u);
    EXPECT_EQ(driver->poll_step, 14);
}

TEST_F(AllocationTest, AnUnchangedSnapshotTextIsCopiedWithoutAllocating) {
    host().quiet = true;
    testing_support::StdoutCapture quiet;
    harness::complete_round(*driver, harness::uniform_record(3.0f));
    char out[4096];
    int written = 0;
    ASSERT_EQ(driver->DeviceIoControl(801, nullptr, 0, out, sizeof out, written), 0);

    const std::size_t before = alloc_probe::allocations();
    for (int i = 0; i < 20; ++i) driver->DeviceIoControl(801, nullptr, 0, out, sizeof out, written);
    EXPECT_EQ(alloc_probe::allocations() - before, 0u);
}
