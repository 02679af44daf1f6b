// The line to the meter that pondrel-host's command line names, or the
// built-in simulated meter's when it names none. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "modbus_master.h"
#include "options.h"
#include "simulated_meter.h"

namespace pondrel {

struct MeterLine {
    std::unique_ptr<SimulatedMeter> simulated;  // outlives the master
    SerialSettings settings;
    std::unique_ptr<ModbusMaster> master;
};

// Throws a Failure (kExitBadLine) when the line cannot be opened.
MeterLine open_meter_line(const HostOptions& options);

}  // namespace pondrel
