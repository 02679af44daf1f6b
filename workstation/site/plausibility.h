// Whether a completed round's readings can be what a meter measured:
// voltage 50 to 500 V, every value a finite number, each circuit's current
// and power within what the meter measures, energy counters not negative.
// When they cannot, says which values and the likely cause: a float word
// order that would make the voltage plausible, when one does. Pure.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "word_order.h"

namespace pondrel {

// The largest current (A) and power (W, either direction) a circuit measures.
inline constexpr float kMaxCurrentA = 1000.0f;
inline constexpr float kMaxPowerW = 500000.0f;

// Nothing for a plausible record read with `order`; else one line:
// "implausible readings: voltage 5.4e-20 V, current 3 nan A; likely the word
// order: CDAB gives 230.1 V".
std::optional<std::string> implausible_readings(const std::vector<unsigned char>& record, WordOrder order);

}  // namespace pondrel
