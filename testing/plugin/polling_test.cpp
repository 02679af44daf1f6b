#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "driver_harness.h"
#include "stdout_capture.h"

using harness::deliver;
using testing_support::StdoutCapture;

namespace {

class PollingTest : public testing_support::DriverTest {
protected:
    std::vector<std::vector<std::int64_t>> requests() const {
        std::vector<std::vector<std::int64_t>> found;
        for (const auto& call : recorder::host().calls_of("modbus_read_registers")) {
            found.push_back(call.ints);
        }
        return found;
    }
    std::vector<unsigned char> record() const {
        const unsigned char* p = driver->record_bytes();
        return std::vector<unsigned char>(p, p + sizeof(Pondrel_Data_t));
    }
};

// Reply bytes that a trip through float arithmetic could change: a
// signalling-NaN pattern, a denormal, negative zero, then a counting pattern.
std::vector<unsigned char> awkward_bytes(std::size_t count, unsigned char seed) {
    const std::uint32_t specials[] = {0x7f800001u, 0x00000001u, 0x80000000u, 0xffbfffffu};
    std::vector<unsigned char> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 13);
    for (std::size_t i = 0; i < 4 && (i + 1) * 4 <= count; ++i) {
        std::memcpy(&bytes[i * 4], &specials[i], 4);
    }
    return bytes;
}

}  // namespace

TEST_F(PollingTest, AFullRoundReadsFourBlocksAndStoresTheirBytesUnchanged) {
    const auto voltage = awkward_bytes(4, 1);
    const auto current = awkward_bytes(72, 2);
    const auto power = awkward_bytes(72, 3);
    const auto energy = awkward_bytes(72, 4);
    // Leftovers of earlier replies sit past each block; the arguments vary.
    std::memset(driver->rx_payload, 0xEE, sizeof driver->rx_payload);

    // Each request goes out once the step that takes its reply is set.
    std::vector<std::int32_t> step_at_request;
    host().on_call = [&](const recorder::HostCall& call) {
        if (call.op == "modbus_read_registers") step_at_request.push_back(driver->poll_step);
    };
    // After each reply the whole record differs from before only in its block.
    std::vector<unsigned char> expected_record = record();
    const auto only_block_changed = [&](std::size_t offset, const std::vector<unsigned char>& block,
                                        std::size_t compared) {
        std::copy(block.begin(), block.end(), expected_record.begin() + static_cast<long>(offset));
        const auto now = record();
        EXPECT_TRUE(std::equal(now.begin(), now.begin() + static_cast<long>(compared), expected_record.begin()))
            << "reply at offset " << offset;
    };
    const std::size_t whole = sizeof(Pondrel_Data_t);
    const std::size_t before_time = offsetof(Pondrel_Data_t, record_time);

    StdoutCapture capture;
    EXPECT_EQ(driver->RefreshStatus(), 1);
    EXPECT_EQ(driver->poll_step, 11);
    EXPECT_EQ(deliver(*driver, voltage.data(), 4, SPModbus::TAB_COILS, 0), 1);
    only_block_changed(4, voltage, whole);
    EXPECT_EQ(driver->poll_step, 12);
    EXPECT_EQ(deliver(*driver, current.data(), 72, SPModbus::TAB_INPUT_REGISTERS, 99999), 1);
    only_block_changed(8, current, whole);
    EXPECT_EQ(driver->poll_step, 13);
    EXPECT_EQ(deliver(*driver, power.data(), 72, static_cast<SPModbus::tab_type>(77), 1), 1);
    only_block_changed(80, power, whole);
    EXPECT_EQ(driver->poll_step, 14);
    EXPECT_EQ(driver->data_ready, false);
    EXPECT_EQ(deliver(*driver, energy.data(), 72), 0);
    only_block_changed(152, energy, before_time);  // the round's time follows
    EXPECT_EQ(driver->poll_step, 14);
    EXPECT_EQ(capture.text(), "rvSize is 0\n");
    EXPECT_EQ(step_at_request, (std::vector<std::int32_t>{11, 12, 13, 14}));

    const std::vector<std::string> expected_ops = {
        "RefreshStatus", "modbus_read_registers", "modbus_read_registers",
        "modbus_read_registers", "modbus_read_registers", "get_ttime", "SendSP", "Reset",
        "DoBatchCheckThreshold", "SaveDeviceHistory"};
    EXPECT_EQ(host().ops(), expected_ops);
    const std::vector<std::vector<std::int64_t>> expected_requests = {
        {100, 2}, {102, 36}, {138, 36}, {174, 36}};
    EXPECT_EQ(requests(), expected_requests);

    std::vector<unsigned char> expected;
    for (const auto* block : {&voltage, &current, &power, &energy}) {
        expected.insert(expected.end(), block->begin(), block->end());
    }
    const auto stored = record();
    EXPECT_EQ(std::vector<unsigned char>(stored.begin() + 4, stored.begin() + 224), expected);
    EXPECT_EQ(host().calls_of("SendSP")[0].bytes, stored);
}

TEST_F(PollingTest, RepliesOutsideARoundAreIgnored) {
    driver->data.voltage = 5.0f;
    const auto before = record();
    const std::int32_t steps[] = {0, 10, 15, 310, 320, -1, 802};
    const auto reply = awkward_bytes(72, 9);
    for (std::int32_t step : steps) {
        SCOPED_TRACE(step);
        driver->poll_step = step;
        EXPECT_EQ(deliver(*driver, reply.data(), reply.size()), 1);
        EXPECT_EQ(driver->poll_step, step);
    }
    EXPECT_EQ(record(), before);
    EXPECT_TRUE(host().calls().empty());
}

TEST_F(PollingTest, ARepeatedEnergyReplyCopiesAndCompletesAgain) {
    StdoutCapture quiet;
    harness::complete_round(*driver, harness::uniform_record(1.0f));
    const auto second = awkward_bytes(72, 40);
    host().clear_calls();
    EXPECT_EQ(deliver(*driver, second.data(), 72), 0);
    EXPECT_EQ(driver->poll_step, 14);
    EXPECT_EQ(std::memcmp(driver->record_bytes() + 152, second.data(), 72), 0);
    EXPECT_EQ(host().calls_of("SendSP").size(), 1u);
    EXPECT_TRUE(requests().empty());
}

TEST_F(PollingTest, RefreshStatusMidRoundRestartsAndKeepsCopiedBlocks) {
    for (std::int32_t stop_at : {12, 13}) {
        SCOPED_TRACE(stop_at);
        const auto voltage = awkward_bytes(4, static_cast<unsigned char>(stop_at));
        const auto current = awkward_bytes(72, static_cast<unsigned char>(stop_at + 1));
        driver->RefreshStatus();
        deliver(*driver, voltage.data(), 4);
        if (stop_at == 13) deliver(*driver, current.data(), 72);
        ASSERT_EQ(driver->poll_step, stop_at);

        host().clear_calls();
        EXPECT_EQ(driver->RefreshStatus(), 1);
        EXPECT_EQ(driver->poll_step, 11);
        EXPECT_EQ(host().ops(), (std::vector<std::string>{"RefreshStatus", "modbus_read_registers"}));
        EXPECT_EQ(requests(), (std::vector<std::vector<std::int64_t>>{{100, 2}}));
        EXPECT_EQ(std::memcmp(driver->record_bytes() + 4, voltage.data(), 4), 0);
        if (stop_at == 13) {
            EXPECT_EQ(std::memcmp(driver->record_bytes() + 8, current.data(), 72), 0);
        }
        EXPECT_FALSE(driver->data_ready);
    }
}

TEST_F(PollingTest, OnErrorKeepsTheStepSoALaterReplyFillsThatBlock) {
    const auto voltage = awkward_bytes(4, 1);
    const auto current = awkward_bytes(72, 2);
    driver->RefreshStatus();
    deliver(*driver, voltage.data(), 4);
    StdoutCapture capture;
    EXPECT_EQ(driver->on_error(), 0);
    EXPECT_EQ(capture.text(), "SPModbus get error\n");
    EXPECT_EQ(driver->poll_step, 12);

    EXPECT_EQ(deliver(*driver, current.data(), 72), 1);
    EXPECT_EQ(std::memcmp(driver->record_bytes() + 8, current.data(), 72), 0);
    EXPECT_EQ(driver->poll_step, 13);
}

TEST_F(PollingTest, RunCheckThresholdTouchesNothingInAnyMode) {
    driver->data.voltage = 3.0f;
    const auto before = record();
    for (int mode : {1, 2, 0, -7}) {
        driver->b_mode = mode;
        driver->report_flag = false;
        driver->RunCheckThreshold();
        EXPECT_EQ(record(), before);
        EXPECT_FALSE(driver->report_flag);
        EXPECT_EQ(driver->b_mode, mode);
    }
    EXPECT_TRUE(host().calls().empty());
}
