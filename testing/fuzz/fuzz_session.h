// One fuzz input as a session of host calls on one driver: control requests
// with any code, bytes and lengths, polling calls with any reply bytes,
// errors, and clock ticks. After every call the invariants are checked:
//  - a refused request leaves `out` untouched; an accepted one writes
//    exactly what it reports and nothing past it;
//  - the record changes only through a reply in a polling step (and then
//    only in that block, plus the time when the round completes);
//  - poll_step only takes the values the state machine allows.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/reader.h>
#include <json/writer.h>

#include <string>
#include <vector>

#include "fuzz_driver.h"

namespace fuzz_support {

enum class Op { Control, Refresh, Reply, Error, Tick, FullRound };

inline bool allowed_step(std::int32_t step) {
    return step == 0 || (step >= 11 && step <= 14) || step == 310 || step == 320;
}

inline bool untouched(const std::vector<std::uint8_t>& buffer, std::size_t from) {
    for (std::size_t i = from; i < buffer.size(); ++i) {
        if (buffer[i] != 0xA5) return false;
    }
    return true;
}

inline bool parses(const std::vector<std::uint8_t>& bytes, int len, bool null_in) {
    if (len < 0 || (null_in && len > 0)) return false;
    const char* begin = len > 0 ? reinterpret_cast<const char*>(bytes.data()) : "";
    Json::Value value;
    Json::Reader reader;
    try {
        return reader.parse(begin, begin + len, value, true);
    } catch (const Json::Exception&) {
        return false;  // nested beyond the reader's limit
    }
}

// A length a caller might name for a buffer of `size` bytes: all of it, part
// of it, nothing, or a negative number. Never more than the buffer holds.
inline int length_for(FuzzedDataProvider& in, int size) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return size;
    case 1: return in.ConsumeIntegralInRange(0, size);
    case 2: return in.ConsumeIntegralInRange(-1000000, -1);
    default: return 0;
    }
}

inline void control_request(Pondrel& d, FuzzedDataProvider& in) {
    static const int kCodes[] = {803, 801, 310, 320, 802, 0, -1, 804};
    const int code = in.ConsumeBool() ? in.PickValueInArray(kCodes) : in.ConsumeIntegral<int>();
    std::vector<std::uint8_t> request = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 4096));
    const int in_len = length_for(in, static_cast<int>(request.size()));
    const bool null_in = in.ConsumeIntegralInRange(0, 15) == 0;
    const int out_size = in.ConsumeIntegralInRange(0, 4096);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(out_size) + 16, 0xA5);
    const int out_len = length_for(in, out_size);
    const bool null_out = in.ConsumeIntegralInRange(0, 15) == 0;
    if (request.empty()) request.push_back(0);  // a valid pointer even for no bytes

    const Pondrel_Data_t record = d.data;
    const std::int32_t step = d.poll_step;
    int written = 0x12345678;
    const int result = d.DeviceIoControl(code, null_in ? nullptr : request.data(), in_len,
                                         null_out ? nullptr : out.data(), out_len, written);
    FUZZ_CHECK(same_record(record, d.data));
    const bool have_out = !null_out;

    if (code == 801) {
        const std::string text = Json::FastWriter().write(d.snapshot);
        FUZZ_CHECK(written == static_cast<int>(text.size()));
        const bool fits = have_out && out_len >= written;
        FUZZ_CHECK(result == (fits ? 0 : -1));
        if (fits) {
            FUZZ_CHECK(std::memcmp(out.data(), text.data(), text.size()) == 0);
            FUZZ_CHECK(untouched(out, text.size()));
        } else {
            FUZZ_CHECK(untouched(out, 0));
        }
        FUZZ_CHECK(d.poll_step == step);
    } else if (code == 803) {
        const int width = static_cast<int>(sizeof(void*));
        FUZZ_CHECK(written == width);
        const bool fits = have_out && out_len >= width;
        FUZZ_CHECK(result == (fits ? 0 : -1));
        if (fits) {
            const Json::Value* address = &d.snapshot;
            FUZZ_CHECK(std::memcmp(out.data(), &address, sizeof address) == 0);
            FUZZ_CHECK(untouched(out, sizeof address));
        } else {
            FUZZ_CHECK(untouched(out, 0));
        }
        FUZZ_CHECK(d.poll_step == step);
    } else if (code == 310 || code == 320) {
        FUZZ_CHECK(d.poll_step == code);
        FUZZ_CHECK(d.control_result == -1);
        FUZZ_CHECK(untouched(out, 0));
        FUZZ_CHECK(written == 0x12345678);
        FUZZ_CHECK(result == (parses(request, in_len, null_in) ? 0 : -1));
    } else {
        const bool fits = have_out && out_len >= 4;
        FUZZ_CHECK(written == (fits ? 4 : 0));
        if (fits) {
            FUZZ_CHECK(std::memcmp(out.data(), &d.control_result, 4) == 0);
            FUZZ_CHECK(untouched(out, 4));
        } else {
            FUZZ_CHECK(untouched(out, 0));
        }
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(d.poll_step == step);
    }
}

inline void reply(Pondrel& d, FuzzedDataProvider& in) {
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(sizeof d.rx_payload);
    if (!bytes.empty()) std::memcpy(d.rx_payload, bytes.data(), bytes.size());
    const auto table = static_cast<SPModbus::tab_type>(in.ConsumeIntegral<int>());
    const unsigned int length = in.ConsumeIntegral<unsigned int>();
    const Pondrel_Data_t before = d.data;
    const std::int32_t step = d.poll_step;
    const std::size_t sent = recorder::host().calls_of("SendSP").size();
    const int result = d.process_payload(table, length);

    if (step < 11 || step > 14) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(same_record(before, d.data));
        FUZZ_CHECK(d.poll_step == step);
        return;
    }
    static const std::size_t kOffset[] = {4, 8, 80, 152};
    static const std::size_t kBytes[] = {4, 72, 72, 72};
    const std::size_t block = static_cast<std::size_t>(step - 11);
    const auto* now = d.record_bytes();
    const auto* was = reinterpret_cast<const unsigned char*>(&before);
    FUZZ_CHECK(std::memcmp(now + kOffset[block], d.rx_payload, kBytes[block]) == 0);
    FUZZ_CHECK(std::memcmp(now, was, kOffset[block]) == 0);
    const std::size_t end = kOffset[block] + kBytes[block];
    if (step == 14) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(d.poll_step == 14);
        FUZZ_CHECK(recorder::host().calls_of("SendSP").size() == sent + 1);
    } else {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(d.poll_step == step + 1);
        FUZZ_CHECK(std::memcmp(now + end, was + end, sizeof(Pondrel_Data_t) - end) == 0);
        FUZZ_CHECK(recorder::host().calls_of("SendSP").size() == sent);
    }
}

inline void run_session(const std::uint8_t* data, std::size_t size, const Op* ops, std::size_t op_count) {
    FuzzedDataProvider in(data, size);
    auto driver = fresh_driver();
    Pondrel& d = *driver;
    for (int calls = 0; calls < 64 && in.remaining_bytes() > 0; ++calls) {
        const Op op = ops[in.ConsumeIntegralInRange<std::size_t>(0, op_count - 1)];
        switch (op) {
        case Op::Control: control_request(d, in); break;
        case Op::Refresh: {
            const Pondrel_Data_t before = d.data;
            FUZZ_CHECK(d.RefreshStatus() == 1);
            FUZZ_CHECK(d.poll_step == 11);
            FUZZ_CHECK(same_record(before, d.data));
            break;
        }
        case Op::Reply: reply(d, in); break;
        case Op::Error: {
            const Pondrel_Data_t before = d.data;
            const std::int32_t step = d.poll_step;
            FUZZ_CHECK(d.on_error() == 0);
            FUZZ_CHECK(d.poll_step == step);
            FUZZ_CHECK(same_record(before, d.data));
            break;
        }
        case Op::Tick:
            // The host's clock moves on: the next round gets a new second.
            if (!d.update_time.is_special()) d.update_time += boost::posix_time::seconds(1);
            break;
        case Op::FullRound:
            d.RefreshStatus();
            for (int block = 0; block < 4; ++block) reply(d, in);
            break;
        }
        FUZZ_CHECK(allowed_step(d.poll_step));
        recorder::host().clear_calls();
    }
}

}  // namespace fuzz_support
