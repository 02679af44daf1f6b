#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>
#include <json/writer.h>
#include <gtest/gtest.h>

#include "alloc_probe.h"
#include "driver_fixture.h"
#include "driver_harness.h"
#include "stdout_capture.h"

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using testing_support::StdoutCapture;

namespace {

const std::string kVoltageKey = "\xE7\x94\xB5\xE5\x8E\x8B";          // 电压
const std::string kCurrentPrefix = "\xE7\x94\xB5\xE6\xB5\x81";       // 电流
const std::string kPowerPrefix = "\xE5\x8A\x9F\xE7\x8E\x87";         // 功率
const std::string kEnergyPrefix = "\xE7\x94\xB5\xE5\xBA\xA6";        // 电度
const std::string kTimeKey = "\xE6\x9B\xB4\xE6\x96\xB0\xE6\x97\xB6\xE9\x97\xB4";  // 更新时间

const ptime kSomeSecond(boost::gregorian::date(2024, 3, 5), boost::posix_time::hours(7));

class SnapshotTest : public testing_support::DriverTest {
protected:
    // The 801 text, asserting success.
    std::string text() {
        std::vector<char> out(8192);
        int written = -7;
        EXPECT_EQ(driver->DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                          written),
                  0);
        return std::string(out.data(), static_cast<std::size_t>(written > 0 ? written : 0));
    }
    const Json::Value* address() {
        unsigned char out[sizeof(void*)] = {};
        int written = 0;
        EXPECT_EQ(driver->DeviceIoControl(803, nullptr, 0, out, sizeof out, written), 0);
        EXPECT_EQ(written, static_cast<int>(sizeof(void*)));
        const Json::Value* value;
        std::memcpy(&value, out, sizeof value);
        return value;
    }
    // A record as a completed round would leave it, without the round.
    void set_record(const Pondrel_Data_t& record, ptime when) {
        driver->data = record;
        driver->update_time = when;
    }
};

Pondrel_Data_t filled_record() {
    Pondrel_Data_t record{};
    record.voltage = 230.25f;
    for (int i = 0; i < kPondrelCircuits; ++i) {
        record.current[i] = 1.5f + static_cast<float>(i);
        record.power[i] = 100.0f * static_cast<float>(i + 1) + 0.1f;
        record.energy[i] = 1e6f + static_cast<float>(i) * 0.5f;
    }
    record.power[0] = 1234.5f;
    record.record_time = {2024, 3, 5, 7, 4, 9};
    return record;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

}  // namespace

TEST_F(SnapshotTest, BeforeAnyRoundTheTextIsTheWritersNull) {
    EXPECT_EQ(text(), Json::FastWriter().write(Json::Value()));
    EXPECT_TRUE(driver->snapshot.isNull());
}

TEST_F(SnapshotTest, TextOfAFilledRecordHasTheLabelledValues) {
    const Pondrel_Data_t record = filled_record();
    set_record(record, kSomeSecond);
    const std::string got = text();
    EXPECT_EQ(got, Json::FastWriter().write(driver->snapshot));
    const Json::Value parsed = parse(got);

    std::set<std::string> expected_keys = {kVoltageKey, kTimeKey};
    for (int n = 1; n <= 18; ++n) {
        for (const auto* prefix : {&kCurrentPrefix, &kPowerPrefix, &kEnergyPrefix}) {
            expected_keys.insert(*prefix + std::to_string(n));
        }
    }
    const auto names = parsed.getMemberNames();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected_keys);
    EXPECT_EQ(parsed.size(), 56u);

    EXPECT_EQ(parsed[kVoltageKey].asDouble(), 230.25);
    for (int n = 1; n <= 18; ++n) {
        SCOPED_TRACE(n);
        const std::string number = std::to_string(n);
        EXPECT_EQ(parsed[kCurrentPrefix + number].asDouble(), static_cast<double>(record.current[n - 1]));
        EXPECT_EQ(parsed[kPowerPrefix + number].asDouble(),
                  static_cast<double>(record.power[n - 1] / 1000.0f));
        EXPECT_EQ(parsed[kEnergyPrefix + number].asDouble(), static_cast<double>(record.energy[n - 1]));
        EXPECT_TRUE(parsed[kCurrentPrefix + number].isDouble());
    }
    EXPECT_EQ(parsed[kCurrentPrefix + "1"].asDouble(), 1.5);
    EXPECT_EQ(parsed[kCurrentPrefix + "18"].asDouble(), 18.5);
    EXPECT_EQ(parsed[kPowerPrefix + "1"].asDouble(), 1.2345000505447388);
    EXPECT_EQ(parsed[kTimeKey].asString(), "2024-3-5 7:4:9");
}

TEST_F(SnapshotTest, TimeTextIsUnpaddedDecimal) {
    struct Case {
        Pondrel_Time_t time;
        const char* text;
    };
    const Case cases[] = {
        {{2024, 3, 5, 7, 4, 9}, "2024-3-5 7:4:9"},
        {{0, 0, 0, 0, 0, 0}, "0-0-0 0:0:0"},
        {{1999, 12, 31, 23, 59, 59}, "1999-12-31 23:59:59"},
        {{65535, 255, 65, 48, 10, 200}, "65535-255-65 48:10:200"},  // numbers, never characters
    };
    int k = 0;
    for (const Case& c : cases) {
        Pondrel_Data_t record{};
        record.record_time = c.time;
        set_record(record, kSomeSecond + seconds(++k));
        EXPECT_EQ(parse(text())[kTimeKey].asString(), c.text);
    }
}

TEST_F(SnapshotTest, TextBufferEdges) {
    set_record(filled_record(), kSomeSecond);
    const std::string full = text();
    const int length = static_cast<int>(full.size());

    std::vector<char> out(full.size() + 1, '\x5a');
    int written = 0;
    EXPECT_EQ(driver->DeviceIoControl(801, nullptr, 0, out.data(), length, written), 0);
    EXPECT_EQ(written, length);
    EXPECT_EQ(std::string(out.data(), full.size()), full);
    EXPECT_EQ(out.back(), '\x5a');  // no terminator

    // A buffer larger than the text: nothing after the text is written.
    std::vector<char> roomy(full.size() + 64, '\x5a');
    written = 0;
    EXPECT_EQ(driver->DeviceIoControl(801, nullptr, 0, roomy.data(), static_cast<int>(roomy.size()), written), 0);
    EXPECT_EQ(written, length);
    EXPECT_EQ(std::string(roomy.data(), full.size()), full);
    EXPECT_EQ(std::vector<char>(roomy.begin() + length, roomy.end()), std::vector<char>(64, '\x5a'));

    for (int too_small : {length - 1, 0, -1, -length}) {
        SCOPED_TRACE(too_small);
        std::vector<char> untouched(full.size(), '\x5a');
        written = 0;
        EXPECT_EQ(driver->DeviceIoControl(801, nullptr, 0, untouched.data(), too_small, written), -1);
        EXPECT_EQ(written, length);
        EXPECT_EQ(untouched, std::vector<char>(full.size(), '\x5a'));
    }
    written = 0;
    EXPECT_EQ(driver->DeviceIoControl(801, nullptr, 0, nullptr, length, written), -1);
    EXPECT_EQ(written, length);
    EXPECT_TRUE(host().calls().empty());  // 801 never reaches the base
}

TEST_F(SnapshotTest, AddressBufferEdges) {
    constexpr int width = static_cast<int>(sizeof(void*));
    EXPECT_EQ(Pondrel::kAddressBytes, width);
    for (int too_small : {width - 1, 0, -1}) {
        SCOPED_TRACE(too_small);
        unsigned char out[sizeof(void*)];
        std::memset(out, 0x5a, sizeof out);
        int written = 0;
        EXPECT_EQ(driver->DeviceIoControl(803, nullptr, 0, out, too_small, written), -1);
        EXPECT_EQ(written, width);
        for (unsigned char b : out) EXPECT_EQ(b, 0x5a);
    }
    int written = 0;
    EXPECT_EQ(driver->DeviceIoControl(803, nullptr, 0, nullptr, width, written), -1);
    EXPECT_EQ(written, width);
    EXPECT_EQ(address(), &driver->snapshot);
    EXPECT_TRUE(host().calls().empty());
}

TEST_F(SnapshotTest, UnchangedUpdateTimeMeansNoRebuild) {
    set_record(filled_record(), kSomeSecond);
    const std::string first = text();
    driver->data.voltage = 1.0f;  // behind the snapshot's back
    driver->data.current[3] = 2.0f;
    EXPECT_EQ(text(), first);
    EXPECT_EQ(address(), &driver->snapshot);
    EXPECT_EQ(text(), first);
}

TEST_F(SnapshotTest, ACompletedRoundChangesTheValueBehindTheAddressInPlace) {
    set_record(filled_record(), kSomeSecond);
    const Json::Value* snapshot = address();
    EXPECT_EQ((*snapshot)[kVoltageKey].asDouble(), 230.25);

    StdoutCapture quiet;
    harness::complete_round(*driver, harness::uniform_record(7.0f));
    EXPECT_EQ(address(), snapshot);
    EXPECT_EQ((*snapshot)[kVoltageKey].asDouble(), 7.0);
    EXPECT_EQ((*snapshot)[kPowerPrefix + "18"].asDouble(), 7.0);
    EXPECT_EQ(snapshot->size(), 56u);
    EXPECT_EQ(driver->snapshot_time, driver->update_time);
}

TEST_F(SnapshotTest, ABuildThatRunsOutOfMemoryIsRedoneByTheNextRequest) {
    // The first build inserts the 56 members, so it allocates all along.
    const Pondrel_Data_t record = filled_record();
    const ptime when = kSomeSecond + seconds(2);

    auto reference = harness::make_driver();
    reference->data = record;
    reference->update_time = when;
    std::vector<char> buffer(8192);
    int written = 0;
    ASSERT_EQ(reference->DeviceIoControl(801, nullptr, 0, buffer.data(), 8192, written), 0);
    const std::string expected(buffer.data(), static_cast<std::size_t>(written));

    int failures = 0;
    for (std::size_t n = 0; n < 1000; ++n) {
        SCOPED_TRACE(n);
        driver = harness::make_driver();
        set_record(record, when);
        alloc_probe::fail_allocation_after(n);
        bool threw = false;
        try {
            driver->DeviceIoControl(801, nullptr, 0, buffer.data(), 8192, written);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        alloc_probe::disarm();
        EXPECT_EQ(text(), expected);
        if (!threw) break;
        ++failures;
    }
    EXPECT_GT(failures, 56);  // failures inside the build, not only in the writer
}
