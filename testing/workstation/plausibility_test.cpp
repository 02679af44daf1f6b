// Which readings a meter cannot have measured, and the word order that
// would make them plausible.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "plausibility.h"
#include "pondrel_data.h"

using namespace pondrel;

namespace {

std::vector<unsigned char> record_of(const Pondrel_Data_t& data) {
    std::vector<unsigned char> bytes(sizeof data);
    std::memcpy(bytes.data(), &data, sizeof data);
    return bytes;
}

// 230 V as a meter of `order` sends it, read as ABCD.
float voltage_sent_as(WordOrder order) {
    std::uint16_t registers[2];
    float_to_registers(230.0f, order, registers);
    return registers_to_float(registers, WordOrder::ABCD);
}

}  // namespace

TEST(Plausibility, NamesWhatCannotBeAndTheOrderThatWould) {
    const struct {
        const char* name;
        float voltage;
        int circuit;  // -1: none changed
        float current, power, energy;
        const char* says;  // "" : plausible
    } cases[] = {
        {"a plain round", 230.0f, -1, 0, 0, 0, ""},
        {"a reversing circuit", 230.0f, 4, -5.0f, -1150.0f, 12.5f, ""},
        {"words swapped", voltage_sent_as(WordOrder::CDAB), -1, 0, 0, 0, "likely the word order: CDAB gives 230 V"},
        {"no voltage", NAN, -1, 0, 0, 0, "voltage nan V"},
        {"a current beyond the meter", 230.0f, 2, 5000.0f, 0, 0, "current 3 5000 A"},
        {"a power not a number", 230.0f, 17, 1.0f, INFINITY, 0, "power 18 inf W"},
        {"a negative counter", 230.0f, 0, 0, 0, -1.0f, "energy 1 -1 kWh; check the meter's wiring"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pondrel_Data_t data{};
        data.voltage = c.voltage;
        if (c.circuit >= 0) {
            data.current[c.circuit] = c.current;
            data.power[c.circuit] = c.power;
            data.energy[c.circuit] = c.energy;
        }
        const auto doubt = implausible_readings(record_of(data), WordOrder::ABCD);
        if (std::string(c.says).empty()) {
            EXPECT_FALSE(doubt.has_value()) << *doubt;
        } else {
            ASSERT_TRUE(doubt.has_value());
            EXPECT_NE(doubt->find(c.says), std::string::npos) << *doubt;
        }
    }
}
