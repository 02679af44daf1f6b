#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "probe_device.h"
#include "stdout_capture.h"

using testing_support::StdoutCapture;

namespace {

class InheritedDefaultsTest : public testing_support::DriverTest {};

}  // namespace

TEST(FrameworkDefaults, DefaultGetValueSaysDataNotReadyWhateverItIsAsked) {
    ProbeDevice device;
    device.data_ready = true;
    const VDeviceInterface& root = device;
    for (const char* name : {"", "电压", "anything"}) {
        for (unsigned int index : {0u, 17u, UINT_MAX}) {
            try {
                root.Get_Value(index, name);
                ADD_FAILURE() << "Get_Value returned";
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "\xE6\x95\xB0\xE6\x8D\xAE\xE6\x9C\xAA\xE5\xB0\xB1\xE7\xBB\xAA");
            }
        }
    }
}

TEST_F(InheritedDefaultsTest, IdentityQueriesAnswerFromTheHostMembers) {
    driver->data_id = 4711;
    driver->use_controller_db = true;
    EXPECT_EQ(driver->DataId(), 4711u);
    EXPECT_EQ(&driver->DeviceType(), &driver->device_type);
    EXPECT_TRUE(driver->UseControllerDb());
    driver->use_controller_db = false;
    EXPECT_FALSE(driver->UseControllerDb());
}

TEST_F(InheritedDefaultsTest, TheMeterHasNoChildDevices) {
    for (unsigned int index : {0u, 1u, 18u, UINT_MAX}) {
        EXPECT_EQ(driver->GetChildVDevice(index), nullptr) << index;
    }
    EXPECT_TRUE(driver->GetAllChildVDevices().empty());
    EXPECT_TRUE(host().calls().empty());
}

TEST_F(InheritedDefaultsTest, OnErrorPrintsOneLineAndChangesNothing) {
    driver->poll_step = 12;
    driver->data.voltage = 230.0f;
    const Pondrel_Data_t before = driver->data;

    StdoutCapture capture;
    const int result = driver->on_error();
    EXPECT_EQ(capture.text(), "SPModbus get error\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(driver->poll_step, 12);
    EXPECT_EQ(std::memcmp(&before, &driver->data, sizeof before), 0);
    EXPECT_TRUE(host().calls().empty());
}
