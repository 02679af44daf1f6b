#include "device_status.h"

#include <stdexcept>
#include <vector>

namespace pondrel {

std::string data_status(const KovSPDevice& device) {
    std::string message;
    try {
        device.Get_Value(0, "");
        return "has a value";
    } catch (const std::out_of_range& e) {
        message = e.what();
    }
    if (message == "\xE6\x95\xB0\xE6\x8D\xAE\xE6\x9C\xAA\xE5\xB0\xB1\xE7\xBB\xAA") return "not ready";
    if (message == "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6") return "timed out";
    if (message == "\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE5\x8F\x98\xE9\x87\x8F") return "fresh";
    return message;
}

// The device's 801 text.
std::string snapshot_text(KovSPDevice& device) {
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 3; ++attempt) {
        int written = 0;
        if (device.DeviceIoControl(801, nullptr, 0, buffer.data(), static_cast<int>(buffer.size()), written) == 0) {
            return std::string(buffer.data(), static_cast<std::size_t>(written));
        }
        if (written <= static_cast<int>(buffer.size())) break;
        buffer.resize(static_cast<std::size_t>(written));
    }
    return "";
}

}  // namespace pondrel
