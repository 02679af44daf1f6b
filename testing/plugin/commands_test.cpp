#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "driver_harness.h"

namespace {

class CommandsTest : public testing_support::DriverTest {
protected:
    // Output buffer and count as the host would pass them, pre-filled so that
    // any write shows.
    std::vector<unsigned char> out = std::vector<unsigned char>(16, 0x5a);
    int written = 1234;

    bool out_untouched() const { return out == std::vector<unsigned char>(16, 0x5a); }
};

}  // namespace

TEST_F(CommandsTest, CommandsSwitchTheStepResetTheResultAndOpenThePortBeforeParsing) {
    for (int code : {310, 320}) {
        SCOPED_TRACE(code);
        host().clear_calls();
        driver->poll_step = 12;
        driver->control_result = 5;
        std::int32_t step_at_open = 0;
        std::int32_t result_at_open = 0;
        host().on_call = [&](const recorder::HostCall& call) {
            if (call.op != "OpenPort") return;
            step_at_open = driver->poll_step;
            result_at_open = driver->control_result;
        };
        const std::string request = R"({"signal_id":"s1"})";
        host().answers.device_io_control = 77;
        EXPECT_EQ(driver->DeviceIoControl(code, request.data(), static_cast<int>(request.size()),
                                          out.data(), 16, written),
                  77);
        EXPECT_EQ(step_at_open, code);
        EXPECT_EQ(result_at_open, -1);
        EXPECT_EQ(host().ops(), (std::vector<std::string>{"OpenPort", "DeviceIoControl"}));
        EXPECT_EQ(driver->poll_step, code);
        EXPECT_EQ(driver->control_result, -1);
    }
}

TEST_F(CommandsTest, ATextThatDoesNotParseIsRefusedBeforeTheBase) {
    struct Case {
        const char* name;
        const char* in;
        int in_len;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"null pointer, zero length", nullptr, 0},
        {"not JSON", "not json", 8},
        {"unfinished object", "{\"a\":", 5},
        {"cut short by its length", "{\"signal_id\":1}", 14},
        {"negative length", "{}", -1},
        {"null pointer with a length", nullptr, 5},
    };
    for (int code : {310, 320}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << code << " " << c.name);
            host().clear_calls();
            driver->poll_step = 0;
            driver->control_result = 5;
            written = 1234;
            EXPECT_EQ(driver->DeviceIoControl(code, c.in, c.in_len, out.data(), 16, written), -1);
            EXPECT_EQ(driver->poll_step, code);
            EXPECT_EQ(driver->control_result, -1);
            EXPECT_EQ(host().ops(), (std::vector<std::string>{"OpenPort"}));
            EXPECT_TRUE(out_untouched());
            EXPECT_EQ(written, 1234);
        }
    }
}

TEST_F(CommandsTest, NestingBeyondTheReadersLimitIsATextThatDoesNotParse) {
    const auto nested = [](int depth, bool closed) {
        return std::string(static_cast<std::size_t>(depth), '[') +
               (closed ? std::string(static_cast<std::size_t>(depth), ']') : std::string());
    };
    struct Case {
        int depth;
        bool closed;
        int result;  // -1: refused before the base; 0: passed to the base
    };
    const Case cases[] = {
        {1000, true, 0}, {1001, true, -1}, {1001, false, -1}, {100000, true, -1}, {100000, false, -1},
    };
    for (int code : {310, 320}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << code << " depth " << c.depth << (c.closed ? " closed" : " open"));
            const std::string text = nested(c.depth, c.closed);
            host().clear_calls();
            written = 1234;
            int result = 99;
            EXPECT_NO_THROW(result = driver->DeviceIoControl(code, text.data(), static_cast<int>(text.size()),
                                                             out.data(), 16, written));
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(driver->poll_step, code);
            EXPECT_EQ(driver->control_result, -1);
            EXPECT_EQ(host().ops(), c.result == 0 ? (std::vector<std::string>{"OpenPort", "DeviceIoControl"})
                                                  : (std::vector<std::string>{"OpenPort"}));
            EXPECT_TRUE(out_untouched());
            EXPECT_EQ(written, 1234);
        }
    }
}

TEST_F(CommandsTest, AnyJsonTextIsPassedToTheBaseUnchanged) {
    const char* texts[] = {
        R"({})",
        R"({"signal_id":"abc"})",
        R"({"signal_id":5})",
        R"({"signal_id":null})",
        R"({"signal_id":[1,2]})",
        R"({"signal_id":{"x":1}})",
        R"([1,2])",
        R"(3)",
        R"("text")",
        R"(true)",
        R"(null)",
        "// a comment\n{\"signal_id\":\"s\"}",
    };
    int answer = 0;
    for (int code : {310, 320}) {
        for (const char* text : texts) {
            SCOPED_TRACE(testing::Message() << code << " " << text);
            // Bytes past in_len would not parse: exactly in_len bytes are read.
            std::string buffer = std::string(text) + "}}garbage";
            const int in_len = static_cast<int>(std::strlen(text));
            host().clear_calls();
            host().answers.device_io_control = ++answer;
            written = 1234;
            EXPECT_EQ(driver->DeviceIoControl(code, buffer.data(), in_len, out.data(), 16, written),
                      answer);
            const auto base = host().calls_of("DeviceIoControl");
            ASSERT_EQ(base.size(), 1u);
            EXPECT_EQ(base[0].ints, (std::vector<std::int64_t>{code, in_len, 16, 1234}));
            EXPECT_EQ(base[0].pointers, (std::vector<const void*>{buffer.data(), out.data(), &written}));
            EXPECT_TRUE(out_untouched());
            EXPECT_EQ(written, 1234);
        }
    }
}

TEST_F(CommandsTest, ACommandAbandonsTheRoundUntilTheNextRefresh) {
    driver->RefreshStatus();
    const float reply[18] = {9.0f};
    harness::deliver(*driver, reply, 4);
    ASSERT_EQ(driver->poll_step, 12);
    const Pondrel_Data_t before = driver->data;

    EXPECT_EQ(driver->DeviceIoControl(310, "{}", 2, out.data(), 16, written), 0);
    host().clear_calls();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(harness::deliver(*driver, reply, 72), 1);
    EXPECT_EQ(std::memcmp(&before, &driver->data, sizeof before), 0);
    EXPECT_TRUE(host().calls().empty());

    EXPECT_EQ(driver->RefreshStatus(), 1);
    EXPECT_EQ(driver->poll_step, 11);
    const auto requests = host().calls_of("modbus_read_registers");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].ints, (std::vector<std::int64_t>{100, 2}));
}

TEST_F(CommandsTest, OtherCodesGetControlResultThenTheBasesAnswer) {
    struct Case {
        int code;
        int out_len;
        bool fits;
    };
    const Case cases[] = {
        {0, 4, true},  {802, 16, true}, {804, 4, true},  {-5, 8, true},  {311, 4, true},
        {0, 3, false}, {802, 0, false}, {804, -1, false}, {-5, -100, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " out_len " << c.out_len);
        out.assign(16, 0x5a);
        written = 1234;
        host().clear_calls();
        host().answers.device_io_control = c.code + 1;
        EXPECT_EQ(driver->DeviceIoControl(c.code, "x", 1, out.data(), c.out_len, written), c.code + 1);
        const auto base = host().calls_of("DeviceIoControl");
        ASSERT_EQ(base.size(), 1u);
        // The base sees what the driver wrote.
        EXPECT_EQ(base[0].ints, (std::vector<std::int64_t>{c.code, 1, c.out_len, c.fits ? 4 : 0}));
        EXPECT_EQ(written, c.fits ? 4 : 0);
        if (c.fits) {
            std::int32_t got;
            std::memcpy(&got, out.data(), 4);
            EXPECT_EQ(got, -1);
            EXPECT_EQ(out[4], 0x5a);
        } else {
            EXPECT_TRUE(out_untouched());
        }
    }
    written = 1234;
    driver->DeviceIoControl(802, nullptr, 0, nullptr, 4, written);
    EXPECT_EQ(written, 0);  // a null buffer is never written
}

TEST_F(CommandsTest, TheBaseMayOverwriteWhatTheDriverWrote) {
    host().answers.device_io_control_writes = [](int, void* buffer, int, int& count) {
        std::memset(buffer, 0x11, 6);
        count = 6;
    };
    host().answers.device_io_control = -1;
    EXPECT_EQ(driver->DeviceIoControl(802, nullptr, 0, out.data(), 16, written), -1);
    EXPECT_EQ(written, 6);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(out[5], 0x11);
    EXPECT_EQ(out[6], 0x5a);
}
