#include "energy_guard.h"

#include <cmath>

namespace pondrel {

EnergyGuard::Verdict EnergyGuard::take(float kwh) {
    if (!std::isfinite(kwh)) return Verdict::Refused;
    if (!last_ || kwh >= *last_) {
        last_ = kwh;
        lower_in_a_row_ = 0;
        return Verdict::Taken;
    }
    if (++lower_in_a_row_ < kResetRounds) return Verdict::Refused;
    last_ = kwh;
    lower_in_a_row_ = 0;
    return Verdict::Reset;
}

void EnergyGuard::seed(float kwh) {
    if (std::isfinite(kwh) && !last_) last_ = kwh;
}

MeterEnergyGuard::Verdicts MeterEnergyGuard::take(const std::array<float, pondrel_meter::kCircuits>& kwh,
                                                  const std::string& meter, std::vector<std::string>& resets) {
    Verdicts verdicts{};
    for (std::size_t n = 0; n < circuits_.size(); ++n) {
        const float before = circuits_[n].last().value_or(0);
        verdicts[n] = circuits_[n].take(kwh[n]);
        if (verdicts[n] == EnergyGuard::Verdict::Reset) {
            resets.push_back("meter " + meter + " circuit " + std::to_string(n + 1) + ": energy counter reset (from " +
                             std::to_string(before) + " to " + std::to_string(kwh[n]) + " kWh)");
        }
    }
    return verdicts;
}

void MeterEnergyGuard::seed(const std::array<float, pondrel_meter::kCircuits>& kwh) {
    for (std::size_t n = 0; n < circuits_.size(); ++n) circuits_[n].seed(kwh[n]);
}

}  // namespace pondrel
