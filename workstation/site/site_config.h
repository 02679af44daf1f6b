// A site's configuration: the lines (serial, Modbus TCP, RTU over TCP) and
// the meters on them, the plug-in and the history, read from a TOML file.
// Every error of the file is found before anything starts and reported as a
// whole; the single-meter command line is the same configuration with one
// line and one meter. Pure but for reading the file; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "modbus_master.h"
#include "word_order.h"

namespace pondrel {

struct LineConfig {
    std::string name;
    SerialSettings settings;  // settings.slave is unused: the slave is each meter's
    bool operator==(const LineConfig& other) const;
};

struct MeterConfig {
    std::string name;
    std::string line;                    // a line's name
    int slave = 1;
    std::uint32_t data_id = 1;
    WordOrder word_order = WordOrder::ABCD;
    bool word_order_auto = false;
    double interval_s = 1.0;             // 0: as often as the line allows
    double retry_max_s = 30.0;           // the longest wait between tries of a failing meter
    Json::Value setting{Json::objectValue};  // handed to the driver's InitSetting
    std::string setting_source;          // where the setting came from, for messages
    bool operator==(const MeterConfig& other) const;
};

struct SiteConfig {
    std::optional<std::string> plugin;
    std::optional<std::string> history_file;
    std::optional<long> keep_days;
    std::vector<LineConfig> lines;
    std::vector<MeterConfig> meters;

    const LineConfig* line(const std::string& name) const;
};

// Every error found in a file, each "FILE:LINE: message", in file order.
struct ConfigErrors : std::runtime_error {
    explicit ConfigErrors(std::vector<std::string> lines);
    std::vector<std::string> lines;
};

// Reads and checks `path`. Throws ConfigErrors listing every error: a file
// that cannot be read or parsed, an unknown key or section, a wrong type, a
// missing required key, a value out of range, a name or data id used twice,
// a meter naming a missing line, two meters with one slave address on one
// line, a line with no transport or two, a setting whose data_id disagrees.
SiteConfig read_site_config(const std::string& path);

// The configuration as TOML with every default filled in.
std::string site_config_toml(const SiteConfig& config);

}  // namespace pondrel
