#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "probe_device.h"
#include "stdout_capture.h"

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using testing_support::StdoutCapture;

namespace {

class RoundDoneTest : public testing_support::DriverTest {
protected:
    void fill_record() {
        unsigned char* bytes = driver->record_bytes();
        for (std::size_t i = 0; i < sizeof(Pondrel_Data_t); ++i) {
            bytes[i] = static_cast<unsigned char>(i * 7 + 3);
        }
    }
    void add_rule_values(int count) {
        for (int i = 0; i < count; ++i) {
            rule_value v;
            v.rule_id = "r" + std::to_string(i);
            driver->rule_values.push_back(v);
        }
    }
};

std::vector<unsigned char> bytes_of(const Pondrel_Data_t& record) {
    const auto* p = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(p, p + sizeof record);
}

}  // namespace

TEST_F(RoundDoneTest, OneRoundMakesTheHostCallsInOrderWithTheirArguments) {
    fill_record();
    const std::vector<unsigned char> before = bytes_of(driver->data);
    driver->var_names = {"a", "missing", "b", "c"};
    driver->var_values = {{"a", 1.5f}, {"b", 2.5f}, {"c", 3.5f}, {"unlisted", 9.0f}};
    add_rule_values(4);
    host().answers.ao_report = {{"a", true}};  // the first says true: the rest still run
    // Where standard output stands when the last variable check and the batch check run.
    off_t out_at_last_check = -1;
    off_t out_at_batch = -1;
    host().on_call = [&](const recorder::HostCall& call) {
        if (call.op == "CheckThreshold") out_at_last_check = lseek(STDOUT_FILENO, 0, SEEK_CUR);
        if (call.op == "DoBatchCheckThreshold") out_at_batch = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    };

    const ptime local_before = second_clock::local_time();
    StdoutCapture capture;
    driver->RoundDone();
    const std::string printed = capture.text();
    const ptime local_after = second_clock::local_time();

    EXPECT_EQ(printed, "rvSize is 4\n");
    EXPECT_EQ(out_at_last_check, 0);
    EXPECT_EQ(out_at_batch, static_cast<off_t>(printed.size()));
    const std::vector<std::string> expected_ops = {
        "get_ttime",     "SendSP",         "Reset",
        "CheckAOReport", "CheckThreshold", "CheckAOReport",
        "CheckThreshold", "CheckAOReport", "CheckThreshold",
        "DoBatchCheckThreshold", "SaveDeviceHistory"};
    ASSERT_EQ(host().ops(), expected_ops);
    const auto calls = host().calls();
    for (const auto& call : calls) {
        if (call.op == "get_ttime") continue;
        EXPECT_EQ(call.device, static_cast<const void*>(driver.get())) << call.op;
    }

    // Local wall-clock time, whole seconds, eight hours ahead of UTC here.
    EXPECT_TRUE(driver->data_ready);
    EXPECT_LE(local_before, driver->update_time);
    EXPECT_LE(driver->update_time, local_after);
    EXPECT_EQ(driver->update_time.time_of_day().fractional_seconds(), 0);
    const auto ahead = driver->update_time - second_clock::universal_time();
    EXPECT_NEAR(ahead.total_seconds(), 8 * 3600, 5);

    // The record's time bytes are update_time's calendar second.
    const auto day = driver->update_time.date();
    const auto clock = driver->update_time.time_of_day();
    const Pondrel_Time_t& t = driver->data.record_time;
    EXPECT_EQ(+t.year, day.year());
    EXPECT_EQ(+t.month, day.month().as_number());
    EXPECT_EQ(+t.day, day.day());
    EXPECT_EQ(+t.hour, clock.hours());
    EXPECT_EQ(+t.minute, clock.minutes());
    EXPECT_EQ(+t.second, clock.seconds());

    const recorder::HostCall& sent = calls[1];
    EXPECT_EQ(sent.ints, (std::vector<std::int64_t>{5156, 231, 0}));
    EXPECT_EQ(sent.bytes, bytes_of(driver->data));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 224, sent.bytes.begin()));

    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        const auto& ao = calls[3 + 2 * i];
        const auto& threshold = calls[4 + 2 * i];
        EXPECT_EQ(ao.texts, (std::vector<std::string>{names[i]}));
        EXPECT_EQ(ao.value, driver->var_values[names[i]]);
        EXPECT_EQ(threshold.texts, (std::vector<std::string>{names[i], ""}));
        EXPECT_EQ(threshold.value, driver->var_values[names[i]]);
        EXPECT_EQ(threshold.ints, (std::vector<std::int64_t>{1}));
        // Passed by reference to the map's own entry.
        EXPECT_EQ(threshold.pointers[0], static_cast<const void*>(&driver->var_values[names[i]]));
    }
    EXPECT_EQ(calls[9].ints, (std::vector<std::int64_t>{4}));
    EXPECT_EQ(calls[9].pointers[0], static_cast<const void*>(&driver->rule_values));
    EXPECT_EQ(calls[10].ints, (std::vector<std::int64_t>{231}));
    EXPECT_EQ(calls[10].bytes, sent.bytes);

    EXPECT_TRUE(driver->report_flag);
    EXPECT_EQ(driver->round_mark, 1);
    EXPECT_TRUE(driver->rule_values.empty());
}

TEST_F(RoundDoneTest, ReportFlagIsRecomputedFromFalseEveryRound) {
    struct Case {
        bool ao_says;
        bool batch_says;
        bool expected;
    };
    const Case cases[] = {{false, false, false}, {false, true, true}, {true, false, true}};
    driver->var_names = {"a"};
    driver->var_values = {{"a", 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ao_says << c.batch_says);
        driver->report_flag = true;  // from an earlier round
        host().answers.ao_report = {{"a", c.ao_says}};
        host().answers.batch_check = c.batch_says;
        StdoutCapture quiet;
        driver->RoundDone();
        EXPECT_EQ(driver->report_flag, c.expected);
    }
}

TEST_F(RoundDoneTest, EmptyRuleValuesStillGetTheBatchCheck) {
    driver->var_names = {"nowhere"};
    StdoutCapture capture;
    driver->RoundDone();
    EXPECT_EQ(capture.text(), "rvSize is 0\n");
    const auto batch = host().calls_of("DoBatchCheckThreshold");
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].ints[0], 0);
    EXPECT_TRUE(host().calls_of("CheckAOReport").empty());
    EXPECT_TRUE(host().calls_of("CheckThreshold").empty());
    EXPECT_FALSE(driver->report_flag);
}

TEST_F(RoundDoneTest, AHostExceptionLeavesTheRoundUnfinished) {
    add_rule_values(3);
    host().on_call = [](const recorder::HostCall& call) {
        if (call.op == "DoBatchCheckThreshold") throw std::runtime_error("host failed");
    };
    StdoutCapture quiet;
    EXPECT_THROW(driver->RoundDone(), std::runtime_error);
    EXPECT_EQ(driver->rule_values.size(), 3u);
    EXPECT_TRUE(host().calls_of("SaveDeviceHistory").empty());
}

TEST_F(RoundDoneTest, PublishesThroughTheHostsSendSPNotAnOverride) {
    ProbeDevice probe;
    probe.data.value = 1.25f;
    probe.hook_reports = true;
    StdoutCapture quiet;
    probe.RoundDone();
    const auto sent = host().calls_of("SendSP");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ints, (std::vector<std::int64_t>{4242, sizeof(Probe_Data_t), 0}));
    EXPECT_TRUE(host().calls_of("ProbeDevice::SendSP").empty());
    EXPECT_TRUE(probe.report_flag);  // the threshold hook counts too
}
