#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "stdout_capture.h"

using testing_support::StdoutCapture;

namespace {

class LoadFromCacheTest : public testing_support::DriverTest {};

std::string image_with_zero_bytes() {
    std::string image(231, '\0');
    for (std::size_t i = 0; i < image.size(); i += 3) image[i] = static_cast<char>(0x80 + i % 100);
    return image;  // data id bytes 0x80,0,0,0x83: it holds zeros inside
}

}  // namespace

TEST_F(LoadFromCacheTest, WrongLengthsAreRefusedWithNothingChanged) {
    driver->data.voltage = 1.0f;
    const Pondrel_Data_t before = driver->data;
    const std::vector<unsigned char> image(232, 0xAB);
    for (int len : {0, 230, 232, -231}) {
        SCOPED_TRACE(len);
        StdoutCapture capture;
        EXPECT_EQ(driver->LoadFromCache(image.data(), len), 0);
        EXPECT_EQ(driver->LoadFromCache(std::string(reinterpret_cast<const char*>(image.data()),
                                                    len > 0 ? static_cast<std::size_t>(len) : 0)),
                  0);
        EXPECT_EQ(capture.text(), "");
    }
    EXPECT_EQ(driver->LoadFromCache(nullptr, 231), 0);
    EXPECT_EQ(std::memcmp(&before, &driver->data, sizeof before), 0);
    EXPECT_FALSE(driver->data_ready);
    EXPECT_TRUE(driver->update_time.is_not_a_date_time());
    EXPECT_TRUE(host().calls().empty());
}

TEST_F(LoadFromCacheTest, BothOverloadsTakeA231ByteImageAndCompleteARound) {
    const std::string image = image_with_zero_bytes();
    struct Overload {
        const char* name;
        int (*load)(Pondrel&, const std::string&);
    };
    const Overload overloads[] = {
        {"bytes", [](Pondrel& d, const std::string& s) {
             return d.LoadFromCache(reinterpret_cast<const unsigned char*>(s.data()),
                                    static_cast<int>(s.size()));
         }},
        {"string", [](Pondrel& d, const std::string& s) { return d.LoadFromCache(s); }},
    };
    for (const Overload& overload : overloads) {
        SCOPED_TRACE(overload.name);
        host().clear_calls();
        driver->data_id = 5;  // the image's id wins over the device's
        StdoutCapture capture;
        EXPECT_EQ(overload.load(*driver, image), 1);
        EXPECT_EQ(capture.text(), "rvSize is 0\n");
        EXPECT_TRUE(driver->data_ready);
        EXPECT_FALSE(driver->update_time.is_not_a_date_time());

        const auto sent = host().calls_of("SendSP");
        const auto saved = host().calls_of("SaveDeviceHistory");
        ASSERT_EQ(sent.size(), 1u);
        ASSERT_EQ(saved.size(), 1u);
        ASSERT_EQ(sent[0].bytes.size(), 231u);
        EXPECT_EQ(sent[0].ints[0], 5156);
        EXPECT_EQ(std::memcmp(image.data(), sent[0].bytes.data(), 224), 0);
        EXPECT_EQ(saved[0].bytes, sent[0].bytes);
        EXPECT_EQ(std::memcmp(&driver->data, image.data(), 224), 0);
        std::uint32_t id;
        std::memcpy(&id, &driver->data, sizeof id);
        EXPECT_EQ(id, 0x83000080u);
        // The image's time bytes give way to the time of the restore.
        EXPECT_EQ(+driver->data.record_time.year, driver->update_time.date().year());
        EXPECT_EQ(+driver->data.record_time.second, driver->update_time.time_of_day().seconds());
    }
}

TEST_F(LoadFromCacheTest, TheRecordsOwnBytesAreTakenAsTheyAre) {
    const std::string image = image_with_zero_bytes();
    std::memcpy(driver->record_bytes(), image.data(), image.size());
    StdoutCapture quiet;
    // The host may restore from the device's own record: source and target overlap.
    EXPECT_EQ(driver->LoadFromCache(driver->record_bytes(), 231), 1);
    EXPECT_EQ(std::memcmp(driver->record_bytes(), image.data(), 224), 0);
    EXPECT_EQ(host().calls_of("SendSP").size(), 1u);
}
