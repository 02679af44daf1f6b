#include "plausibility.h"

#include <cmath>
#include <cstdio>

#include "round_values.h"

namespace pondrel {

namespace {

std::string number(float value) {
    if (std::isnan(value)) return "nan";
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

bool plausible_voltage(float volts) { return std::isfinite(volts) && volts >= 50.0f && volts <= 500.0f; }

}  // namespace

std::optional<std::string> implausible_readings(const std::vector<unsigned char>& record, WordOrder order) {
    const std::optional<RoundValues> values = round_values(record);
    if (!values) return "a record of " + std::to_string(record.size()) + " bytes";
    std::vector<std::string> wrong;
    const float voltage = values->voltage;
    if (!plausible_voltage(voltage)) wrong.push_back("voltage " + number(voltage) + " V");
    const struct {
        const char* name;
        const std::array<float, pondrel_meter::kCircuits>* values;
        const char* unit;
        float low;
        float high;
    } blocks[] = {
        {"current", &values->current, "A", -kMaxCurrentA, kMaxCurrentA},
        {"power", &values->power, "W", -kMaxPowerW, kMaxPowerW},
        {"energy", &values->energy, "kWh", 0.0f, INFINITY},
    };
    for (const auto& block : blocks) {
        int count = 0;
        std::string first;
        for (int n = 0; n < pondrel_meter::kCircuits; ++n) {
            const float value = (*block.values)[static_cast<std::size_t>(n)];
            if (std::isfinite(value) && value >= block.low && value <= block.high) continue;
            if (++count == 1) first = std::string(block.name) + " " + std::to_string(n + 1) + " " + number(value) + " " + block.unit;
        }
        if (count > 0) wrong.push_back(first + (count > 1 ? " (and " + std::to_string(count - 1) + " more)" : ""));
    }
    if (wrong.empty()) return std::nullopt;
    std::string text = "implausible readings: ";
    for (std::size_t i = 0; i < wrong.size(); ++i) text += (i == 0 ? "" : ", ") + wrong[i];
    // The registers the meter sent, read again in each other order.
    std::uint16_t registers[2];
    float_to_registers(voltage, order, registers);
    for (const WordOrder other : kAllWordOrders) {
        if (other == order) continue;
        const float again = registers_to_float(registers, other);
        if (plausible_voltage(again)) {
            return text + "; likely the word order: " + word_order_name(other) + " gives " + number(again) +
                   " V (give --word-order " + word_order_name(other) + " or auto)";
        }
    }
    return text + (plausible_voltage(voltage) ? "; check the meter's wiring and its register map"
                                              : "; no word order makes the voltage plausible: check that the "
                                                "meter has this register map (holding registers 100 to 209)");
}

}  // namespace pondrel
