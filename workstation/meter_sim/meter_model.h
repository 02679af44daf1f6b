// Readings of a simulated 230 V installation with 18 circuits, one meter per
// slave address: currents of a few amperes that wander (each slave its own
// load: slave 1 lightest, the next ones heavier and out of step), powers
// consistent with them (V * I * 0.95), and energy counters that count what
// the power delivered: from round to round a counter rises by the previous
// round's power held over the meter time between the two rounds.
//
// Voltage, currents and powers are a pure function of the slave and the round
// number. So is the energy when every round lasts the same meter time (what
// readings_at() gives), so a test can know what a meter answered in any round.
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

// One simulated meter from round to round. Round 0 is the state before the
// first round; round 1 shows the counters' starting values.
class MeterModel {
public:
    explicit MeterModel(int slave = 1);
    // Moves to the next round, `seconds` of meter time after the one before
    // (ignored for round 1).
    const MeterReadings& advance(double seconds);
    const MeterReadings& readings() const { return now_; }
    std::uint64_t round() const { return round_; }

private:
    int slave_;
    std::uint64_t round_ = 0;
    double energy_kwh_[kMeterCircuits];
    MeterReadings now_;
};

// What `slave`'s meter shows in round `round` when every round lasts
// `seconds_per_round` of meter time.
MeterReadings readings_at(std::uint64_t round, int slave = 1, double seconds_per_round = 1.0);

// The holding registers 100 to 209 for `readings`: voltage, currents, powers,
// energies, each float over two registers in `order`.
void readings_to_registers(const MeterReadings& readings, WordOrder order,
                           std::uint16_t registers[kMeterRegisterCount]);

}  // namespace pondrel
