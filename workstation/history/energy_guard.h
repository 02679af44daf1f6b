// Keeps an energy counter from going backwards where it is published: a
// reading that is not finite, or lower than the last one taken, is refused;
// one that stays lower for kResetRounds readings in a row is a real reset of
// the meter's counter and is taken. Consumers that book every rise as
// consumption (a dip followed by the true value would book it twice) only
// ever see a counter that rises or resets. One circuit; one thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "pondrel_meter.h"

namespace pondrel {

class EnergyGuard {
public:
    static constexpr int kResetRounds = 10;

    enum class Verdict { Taken, Refused, Reset };
    Verdict take(float kwh);
    // The last reading taken.
    std::optional<float> last() const { return last_; }
    // Starts from a reading published before (after a restart).
    void seed(float kwh);

private:
    std::optional<float> last_;
    int lower_in_a_row_ = 0;
};

// The guards of one meter's circuits.
class MeterEnergyGuard {
public:
    using Verdicts = std::array<EnergyGuard::Verdict, pondrel_meter::kCircuits>;
    // Each circuit's reading taken or refused; a reset adds its status line
    // ("meter NAME circuit N: energy counter reset (from A to B kWh)") to `resets`.
    Verdicts take(const std::array<float, pondrel_meter::kCircuits>& kwh, const std::string& meter,
                  std::vector<std::string>& resets);
    void seed(const std::array<float, pondrel_meter::kCircuits>& kwh);
    const EnergyGuard& circuit(int n) const { return circuits_[static_cast<std::size_t>(n)]; }

private:
    std::array<EnergyGuard, pondrel_meter::kCircuits> circuits_;
};

}  // namespace pondrel
