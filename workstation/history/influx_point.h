// A round as one InfluxDB line-protocol point: measurement pondrel, tags
// meter and data_id, fields voltage_V, currentN_A, powerN_W, energyN_kWh
// (a reading that is not a finite number is left out: the protocol has no
// NaN), each the shortest decimal that reads back as the meter's float, and
// the time in nanoseconds. Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "round_values.h"

namespace pondrel {

// Ends in a line feed; "" when no reading is a finite number.
std::string influx_point(const std::string& meter, std::int64_t data_id, const RoundValues& values,
                         std::int64_t unix_ns);

}  // namespace pondrel
