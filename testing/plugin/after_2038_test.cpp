// The plug-in's clock past 2038 on every target: the board's 32-bit ARM has a
// 32-bit time_t unless built for 64-bit time. This executable replaces the C
// library's clock for the whole process, the plug-in included, with one that
// the test sets.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "driver_harness.h"
#include "stdout_capture.h"

namespace {

std::atomic<std::int64_t> g_now{0};  // seconds since 1970, UTC

}  // namespace

// The clock the plug-in reads through second_clock: on a 32-bit target built
// for 64-bit time that is glibc's __time64, elsewhere time(). Interposed here
// (the executable's exports come first in symbol lookup).
#if defined(__arm__)
extern "C" std::int64_t __time64(std::int64_t* out) {
    const std::int64_t now = g_now.load();
    if (out != nullptr) *out = now;
    return now;
}
#else
extern "C" std::time_t time(std::time_t* out) noexcept {
    const std::time_t now = static_cast<std::time_t>(g_now.load());
    if (out != nullptr) *out = now;
    return now;
}
#endif

namespace {

const std::string kTimedOut = "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6";  // 数据已超时
const std::string kUnsupported = "\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE5\x8F\x98\xE9\x87\x8F";  // 不支持变量

std::string message_of(const Pondrel& driver) {
    try {
        driver.Get_Value(0, "");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "returned";
}

class After2038Test : public testing_support::DriverTest {};

}  // namespace

TEST_F(After2038Test, RoundsAreStampedWithTheirYearAndAgesStayRight) {
    struct Case {
        std::int64_t utc;  // the clock
        const char* text;  // the 801 text's time, local time eight hours east
        unsigned year, month, day, hour;
    };
    const Case cases[] = {
        {2147483647, "2038-1-19 11:14:7", 2038, 1, 19, 11},  // the last second of 32-bit time
        {2147483648, "2038-1-19 11:14:8", 2038, 1, 19, 11},
        {2213265600, "2040-2-19 20:0:0", 2040, 2, 19, 20},
        {4102444799, "2100-1-1 7:59:59", 2100, 1, 1, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_now = c.utc;
        testing_support::StdoutCapture quiet;
        ASSERT_EQ(harness::complete_round(*driver, harness::uniform_record(230.0f)), 0);
        const auto& when = driver->data.record_time;
        EXPECT_EQ(+when.year, c.year);
        EXPECT_EQ(+when.month, c.month);
        EXPECT_EQ(+when.day, c.day);
        EXPECT_EQ(+when.hour, c.hour);

        std::vector<char> out(8192);
        int written = 0;
        ASSERT_EQ(driver->DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), written), 0);
        const std::string text(out.data(), static_cast<std::size_t>(written));
        EXPECT_NE(text.find(std::string("\"") + c.text + "\""), std::string::npos) << text;

        EXPECT_EQ(message_of(*driver), kUnsupported);
        g_now = c.utc + 60;
        EXPECT_EQ(message_of(*driver), kUnsupported);
        g_now = c.utc + 61;
        EXPECT_EQ(message_of(*driver), kTimedOut);
    }
}
