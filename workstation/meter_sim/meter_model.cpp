#include "meter_model.h"

#include <cmath>

namespace pondrel {

MeterReadings readings_at(std::uint64_t round) {
    const double r = static_cast<double>(round);
    MeterReadings m{};
    m.voltage = static_cast<float>(230.0 + 2.5 * std::sin(r * 0.7));
    for (int i = 0; i < kMeterCircuits; ++i) {
        const double base = 0.5 + 0.8 * i;
        const double amps = base * (1.0 + 0.1 * std::sin(r * 0.3 + i));
        m.current[i] = static_cast<float>(amps);
        m.power[i] = static_cast<float>(static_cast<double>(m.voltage) * amps * 0.95);
        // Starts above zero and grows by at least 1 Wh a round.
        m.energy[i] = static_cast<float>(100.0 + 10.0 * i + r * (0.001 + 0.0005 * i));
    }
    return m;
}

void readings_to_registers(const MeterReadings& readings, WordOrder order,
                           std::uint16_t registers[kMeterRegisterCount]) {
    std::uint16_t* next = registers;
    float_to_registers(readings.voltage, order, next);
    next += 2;
    for (const float* block : {readings.current, readings.power, readings.energy}) {
        for (int i = 0; i < kMeterCircuits; ++i, next += 2) float_to_registers(block[i], order, next);
    }
}

}  // namespace pondrel
