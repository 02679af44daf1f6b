// When the next round of a periodic poll starts. Pure.
#pragma once

#include <chrono>

namespace pondrel {

using Clock = std::chrono::steady_clock;

// The first start of a period after `now`, in the phase of `next`: periods
// that a long round or an outage overran are skipped, not made up.
inline Clock::time_point next_start(Clock::time_point next, Clock::duration period, Clock::time_point now) {
    if (period <= Clock::duration::zero()) return now;
    if (next > now) return next;
    const auto missed = (now - next) / period + 1;
    return next + missed * period;
}

}  // namespace pondrel
