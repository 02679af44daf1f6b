// The device setting file of pondrel-host: a regular file of at most 1 MiB
// holding one JSON object and nothing after it. Its "data_id" (default 1)
// is the device's data id.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <json/value.h>

namespace pondrel {

struct DeviceSetting {
    Json::Value json;
    std::uint32_t data_id = 1;
};

struct SettingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr long kMaxSettingBytes = 1L << 20;

// An empty path gives the default setting {"data_id": 1}. Throws
// SettingError with a one-line message naming the file and what is wrong.
DeviceSetting read_setting(const std::string& path);

}  // namespace pondrel
