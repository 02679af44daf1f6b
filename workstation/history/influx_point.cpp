#include "influx_point.h"

#include <cmath>

namespace pondrel {

namespace {

// A tag value with the characters the line protocol gives a meaning escaped.
std::string tag(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == ',' || c == ' ' || c == '=' || c == '\\') escaped += '\\';
        escaped += c == '\n' ? ' ' : c;
    }
    return escaped;
}

}  // namespace

std::string influx_point(const std::string& meter, std::int64_t data_id, const RoundValues& values,
                         std::int64_t unix_ns) {
    std::string fields;
    fields.reserve(1500);
    const auto field = [&](const char* kind, int n, const char* unit, float value) {
        if (!std::isfinite(value)) return;
        if (!fields.empty()) fields += ',';
        fields += kind;
        if (n > 0) fields += std::to_string(n);
        fields += unit;
        fields += '=';
        fields += reading_text(value);
    };
    field("voltage", 0, "_V", values.voltage);
    for (int n = 0; n < pondrel_meter::kCircuits; ++n) field("current", n + 1, "_A", values.current[static_cast<std::size_t>(n)]);
    for (int n = 0; n < pondrel_meter::kCircuits; ++n) field("power", n + 1, "_W", values.power[static_cast<std::size_t>(n)]);
    for (int n = 0; n < pondrel_meter::kCircuits; ++n) field("energy", n + 1, "_kWh", values.energy[static_cast<std::size_t>(n)]);
    if (fields.empty()) return "";
    return "pondrel,meter=" + tag(meter) + ",data_id=" + std::to_string(data_id) + " " + fields + " " +
           std::to_string(unix_ns) + "\n";
}

}  // namespace pondrel
