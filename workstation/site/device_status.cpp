#include "device_status.h"

#include <stdexcept>
#include <vector>

#include "pondrel_meter.h"

namespace pondrel {

std::string data_status(const KovSPDevice& device) {
    std::string message;
    try {
        device.Get_Value(0, "");
        return "has a value";
    } catch (const std::out_of_range& e) {
        message = e.what();
    }
    if (message == pondrel_meter::kNotReady) return "not ready";
    if (message == pondrel_meter::kTimedOut) return "timed out";
    if (message == pondrel_meter::kNoSuchValue) return "fresh";
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
