// Control requests. Codes 801 and 803 hold snapshot_mutex from the staleness
// test to the last byte written, so a concurrent rebuild never tears what a
// caller gets. Sizes the caller names are trusted only when they are sane:
// a negative length is too small and a null buffer is never read or written.
#include <cstring>
#include <mutex>
#include <string>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "pondrel.h"

namespace {

// True when `len` bytes at `in` are one JSON text. Unsafe sizes never parse,
// and neither does a text the reader refuses by throwing (nesting beyond its
// depth limit): a command from the host must never end in an exception.
bool parses_as_json(const void* in, int len) {
    if (len < 0 || (in == nullptr && len > 0)) return false;
    const char* begin = len > 0 ? static_cast<const char*>(in) : "";
    Json::Reader reader;
    Json::Value request;
    try {
        return reader.parse(begin, begin + len, request, true);
    } catch (const Json::Exception&) {
        return false;
    }
}

}  // namespace

int Pondrel::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                             int& out_written) {
    if (code == kCodeSnapshotAddress) return answer_snapshot_address(out, out_len, out_written);
    if (code == kCodeSnapshotText) return answer_snapshot_text(out, out_len, out_written);
    if (code == kCodeCommandA || code == kCodeCommandB) {
        poll_step = code;
        control_result = -1;
        KovSPDevice::OpenPort();
        // Any JSON text is accepted; "signal_id" changes nothing.
        if (!parses_as_json(in, in_len)) return -1;
        return KovVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_written);
    }
    if (out != nullptr && out_len >= static_cast<int>(sizeof control_result)) {
        std::memcpy(out, &control_result, sizeof control_result);
        out_written = static_cast<int>(sizeof control_result);
    } else {
        out_written = 0;
    }
    return KovVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_written);
}

int Pondrel::answer_snapshot_text(void* out, int out_len, int& out_written) {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    refresh_snapshot();
    if (snapshot_text_.empty()) snapshot_text_ = Json::FastWriter().write(snapshot);
    out_written = static_cast<int>(snapshot_text_.size());
    if (out == nullptr || out_len < 0 || static_cast<std::size_t>(out_len) < snapshot_text_.size()) {
        return -1;
    }
    std::memcpy(out, snapshot_text_.data(), snapshot_text_.size());
    return 0;
}

int Pondrel::answer_snapshot_address(void* out, int out_len, int& out_written) {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    refresh_snapshot();
    out_written = kAddressBytes;
    if (out == nullptr || out_len < kAddressBytes) return -1;
    const Json::Value* address = &snapshot;
    std::memcpy(out, &address, sizeof address);
    return 0;
}
