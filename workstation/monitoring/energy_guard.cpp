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

}  // namespace pondrel
