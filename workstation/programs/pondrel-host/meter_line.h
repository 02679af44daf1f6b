// The line to the meter that pondrel-host polls: the one its options name,
// or the built-in simulated meter's when they name none; and reopening it
// when it is lost. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "modbus_master.h"
#include "options.h"
#include "round_schedule.h"
#include "simulated_meter.h"

namespace pondrel {

struct MeterLine {
    std::unique_ptr<SimulatedMeter> simulated;  // outlives the master
    SerialSettings settings;
    std::unique_ptr<ModbusMaster> master;
};

// Throws a Failure (kExitBadLine) when the line cannot be opened.
MeterLine open_meter_line(const HostOptions& options);

// Closes the lost line and opens its path again, waiting 0.5 s, doubling to
// 10 s, between attempts; each failed attempt counts as a failed round
// against `failures_left` (none: no limit). Returns false when stopped first;
// throws a Failure (kExitMeterFailed) when the attempts run out.
bool reconnect(ModbusMaster& line, const std::string& reason, std::optional<long> failures_left);

// Sleeps until `when` or a stop, whichever comes first.
void sleep_until(Clock::time_point when);

}  // namespace pondrel
