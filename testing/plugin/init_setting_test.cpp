#include <cstring>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    if (!reader.parse(text, value)) throw std::runtime_error("bad test JSON: " + text);
    return value;
}

std::uint32_t record_data_id(const Pondrel& driver) {
    std::uint32_t id;
    std::memcpy(&id, &driver.data, sizeof id);
    return id;
}

class InitSettingTest : public testing_support::DriverTest {};

}  // namespace

TEST_F(InitSettingTest, BModeFollowsAppSettingAndTheBaseRunsOnceEveryTime) {
    struct Case {
        const char* setting;
        int expected_b_mode;  // starting from 5
    };
    const Case cases[] = {
        {R"({"appSetting":{"b_mode":"2"}})", 2},
        {R"({"appSetting":{"b_mode":2}})", 2},
        {R"({"appSetting":{"b_mode":3.7}})", 3},
        {R"({"appSetting":{"b_mode":2.9}})", 2},
        {R"({"appSetting":{"b_mode":"abc"}})", 0},
        {R"({"appSetting":{"b_mode":"-1.5"}})", -1},
        {R"({"appSetting":{"b_mode":true}})", 0},
        {R"({"appSetting":{"b_mode":false}})", 0},
        {R"({"appSetting":{"b_mode":"1e30"}})", 2147483647},
        {R"({"appSetting":{"b_mode":"-1e30"}})", -2147483647 - 1},
        {R"({"appSetting":{"b_mode":"nan"}})", 0},
        {R"({"appSetting":{"b_mode":null}})", 5},
        {R"({"appSetting":{"other":1}})", 5},
        {R"({"appSetting":null})", 5},
        {R"({"appSetting":7})", 5},
        {R"({"appSetting":"b_mode"})", 5},
        {R"({})", 5},
        {R"(null)", 5},
    };
    int answer = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        driver->b_mode = 5;
        host().clear_calls();
        host().answers.init_setting = ++answer;
        EXPECT_EQ(driver->InitSetting(parse(c.setting)), answer);
        EXPECT_EQ(driver->b_mode, c.expected_b_mode);
        const auto base_calls = host().calls_of("InitSetting");
        ASSERT_EQ(base_calls.size(), 1u);
        EXPECT_EQ(base_calls[0].device, static_cast<const void*>(driver.get()));
        EXPECT_EQ(host().calls_of("KovVDevice::InitSetting").size(), 0u);
    }
}

TEST_F(InitSettingTest, RecordDataIdFollowsTheDeviceDataId) {
    driver->data_id = 0x01020304;
    driver->InitSetting(Json::Value());
    EXPECT_EQ(record_data_id(*driver), 0x01020304u);
    EXPECT_EQ(driver->DataId(), 0x01020304u);

    driver->data_id = 77;
    driver->InitSetting(parse(R"({"appSetting":{"b_mode":2}})"));
    EXPECT_EQ(record_data_id(*driver), 77u);
}

TEST_F(InitSettingTest, JsonLibraryExceptionPassesOutAfterTheIdCopyAndBeforeTheBase) {
    const char* throwing[] = {
        R"({"appSetting":{"b_mode":[1]}})",  // no text form
        R"({"appSetting":{"b_mode":{}}})",
        R"([1,2])",                          // the setting itself is no object
        R"("text")",
    };
    for (const char* setting : throwing) {
        SCOPED_TRACE(setting);
        driver->data_id = 9;
        std::memset(&driver->data, 0, sizeof driver->data);
        driver->b_mode = 5;
        host().clear_calls();
        EXPECT_THROW(driver->InitSetting(parse(setting)), Json::LogicError);
        EXPECT_EQ(record_data_id(*driver), 9u);
        EXPECT_EQ(driver->b_mode, 5);
        EXPECT_TRUE(host().calls_of("InitSetting").empty());
    }
}

TEST_F(InitSettingTest, HostInitAssignsTheIdAndConfiguresThroughTheDriver) {
    driver->Init(std::weak_ptr<KovController>(), 12, parse(R"({"appSetting":{"b_mode":"4"}})"));
    EXPECT_EQ(record_data_id(*driver), 12u);
    EXPECT_EQ(driver->b_mode, 4);
}
