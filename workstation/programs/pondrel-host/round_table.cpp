#include "round_table.h"

#include <cstdio>

#include <json/reader.h>
#include <json/value.h>

namespace pondrel {

namespace {

// The snapshot's labels: 电压, 电流N, 功率N, 电度N, 更新时间.
const char kVoltage[] = "\xE7\x94\xB5\xE5\x8E\x8B";
const char kCurrent[] = "\xE7\x94\xB5\xE6\xB5\x81";
const char kPower[] = "\xE5\x8A\x9F\xE7\x8E\x87";
const char kEnergy[] = "\xE7\x94\xB5\xE5\xBA\xA6";
const char kTime[] = "\xE6\x9B\xB4\xE6\x96\xB0\xE6\x97\xB6\xE9\x97\xB4";

}  // namespace

std::string round_table(const std::string& snapshot_text) {
    Json::Value snapshot;
    Json::Reader reader;
    if (!reader.parse(snapshot_text, snapshot) || !snapshot.isObject()) return "";
    const auto number = [&](const std::string& key) {
        const Json::Value& v = snapshot[key];
        return v.isNumeric() ? v.asDouble() : 0.0;
    };
    char line[160];
    std::string table = snapshot[kTime].asString() + "\n";
    std::snprintf(line, sizeof line, "voltage %.2f V\n", number(kVoltage));
    table += line;
    table += "circuit   current A    power kW  energy kWh\n";
    for (int n = 1; n <= 18; ++n) {
        const std::string id = std::to_string(n);
        std::snprintf(line, sizeof line, "%7d %11.3f %11.3f %11.3f\n", n, number(kCurrent + id), number(kPower + id),
                      number(kEnergy + id));
        table += line;
    }
    return table;
}

}  // namespace pondrel
