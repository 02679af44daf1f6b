#include <cstring>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "driver_fixture.h"

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

namespace {

const std::string kNotReady = "\xE6\x95\xB0\xE6\x8D\xAE\xE6\x9C\xAA\xE5\xB0\xB1\xE7\xBB\xAA";  // 数据未就绪
const std::string kTimedOut = "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6";  // 数据已超时
const std::string kUnsupported = "\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE5\x8F\x98\xE9\x87\x8F";  // 不支持变量

// What Get_Value threw: its exact type must be std::out_of_range.
std::string message_of(const Pondrel& driver, unsigned int index, const std::string& name) {
    try {
        driver.Get_Value(index, name);
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(std::out_of_range));
        return e.what();
    }
    ADD_FAILURE() << "Get_Value returned";
    return "";
}

class GetValueTest : public testing_support::DriverTest {};

}  // namespace

TEST_F(GetValueTest, BeforeAnyDataEveryQueryIsNotReady) {
    for (const char* name : {"", "x", "\xE7\x94\xB5\xE5\x8E\x8B"}) {
        EXPECT_EQ(message_of(*driver, 0, name), kNotReady);
        EXPECT_EQ(message_of(*driver, 4000000000u, name), kNotReady);
    }
}

TEST_F(GetValueTest, AgeDecidesBetweenFreshAndTimedOutAtSixtySeconds) {
    struct Case {
        long age_seconds;
        const std::string* message;
    };
    const Case cases[] = {
        {0, &kUnsupported},  {60, &kUnsupported}, {61, &kTimedOut},
        {3600, &kTimedOut},  {-30, &kUnsupported},  // a clock set back: fresh
    };
    driver->data_ready = true;
    driver->data.voltage = 2.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.age_seconds);
        std::string got;
        // Retry when the clock's second changes during the check.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto now = second_clock::local_time();
            driver->update_time = now - seconds(c.age_seconds);
            const Pondrel_Data_t before = driver->data;
            const auto stamp = driver->update_time;
            got = message_of(*driver, 1, "\xE7\x94\xB5\xE6\xB5\x81" "1");
            EXPECT_EQ(std::memcmp(&before, &driver->data, sizeof before), 0);
            EXPECT_EQ(driver->update_time, stamp);
            EXPECT_TRUE(driver->data_ready);
            if (second_clock::local_time() == now) break;
        }
        EXPECT_EQ(got, *c.message);
    }
    EXPECT_TRUE(host().calls().empty());
}

TEST_F(GetValueTest, ReadyWithoutATimeCountsAsTimedOut) {
    driver->data_ready = true;  // a host that set the flag itself
    EXPECT_EQ(message_of(*driver, 0, "x"), kTimedOut);
}
