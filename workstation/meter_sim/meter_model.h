// Readings of a simulated 230 V installation with 18 circuits: currents of a
// few amperes that wander, powers consistent with them (V * I * 0.95), and
// energies that only rise. A pure function of the round number, so a test can
// know what the meter answered in any round.
#pragma once

#include <cstdint>

#include "pondrel_meter.h"
#include "word_order.h"

namespace pondrel {

constexpr int kMeterCircuits = pondrel_meter::kCircuits;
constexpr int kMeterFirstRegister = pondrel_meter::kFirstRegister;
constexpr int kMeterRegisterCount = pondrel_meter::kRegisterCount;  // registers 100 to 209

struct MeterReadings {
    float voltage;                  // V
    float current[kMeterCircuits];  // A
    float power[kMeterCircuits];    // W
    float energy[kMeterCircuits];   // kWh
};

MeterReadings readings_at(std::uint64_t round);

// The holding registers 100 to 209 for `readings`: voltage, currents, powers,
// energies, each float over two registers in `order`.
void readings_to_registers(const MeterReadings& readings, WordOrder order,
                           std::uint16_t registers[kMeterRegisterCount]);

}  // namespace pondrel
