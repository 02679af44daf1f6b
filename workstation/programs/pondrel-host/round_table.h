// The readable view of one round: the driver's snapshot text laid out as the
// round's time, the voltage in V and one row per circuit, in circuit order,
// with current in A, power in kW and energy in kWh. Plain UTF-8 text ending
// in a line feed; empty when the text is not a snapshot.
#pragma once

#include <string>

namespace pondrel {

std::string round_table(const std::string& snapshot_text);

}  // namespace pondrel
