#include "meter_model.h"

#include <cmath>

namespace pondrel {

namespace {

// Voltage, currents and powers of `slave` in `round`; energy left as it is.
void set_loads(MeterReadings& m, int slave, std::uint64_t round) {
    const double r = static_cast<double>(round);
    const double shift = 1.3 * (slave - 1);             // out of step with the other slaves
    const double scale = 1.0 + 0.35 * ((slave - 1) % 6);  // and drawing more
    m.voltage = static_cast<float>(230.0 + 2.5 * std::sin(r * 0.7 + 0.5 * (slave - 1)));
    for (int i = 0; i < kMeterCircuits; ++i) {
        const double base = (0.5 + 0.8 * i) * scale;
        const double amps = base * (1.0 + 0.1 * std::sin(r * 0.3 + i + shift));
        m.current[i] = static_cast<float>(amps);
        m.power[i] = static_cast<float>(static_cast<double>(m.voltage) * amps * 0.95);
    }
}

}  // namespace

MeterModel::MeterModel(int slave) : slave_(slave), now_{} {
    for (int i = 0; i < kMeterCircuits; ++i) {
        energy_kwh_[i] = (100.0 + 10.0 * i) * (1.0 + 0.5 * (slave - 1));
        now_.energy[i] = static_cast<float>(energy_kwh_[i]);
    }
    set_loads(now_, slave_, 0);
}

const MeterReadings& MeterModel::advance(double seconds) {
    if (round_ > 0) {
        for (int i = 0; i < kMeterCircuits; ++i) {
            energy_kwh_[i] += static_cast<double>(now_.power[i]) * seconds / 3.6e6;
            now_.energy[i] = static_cast<float>(energy_kwh_[i]);
        }
    }
    set_loads(now_, slave_, ++round_);
    return now_;
}

MeterReadings readings_at(std::uint64_t round, int slave, double seconds_per_round) {
    MeterModel model(slave);
    while (model.round() < round) model.advance(seconds_per_round);
    return model.readings();
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
