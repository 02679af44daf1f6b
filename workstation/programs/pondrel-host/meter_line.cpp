#include "meter_line.h"

#include <stdexcept>

#include "program_main.h"

namespace pondrel {

namespace {

// The built-in simulated meter, serving the configured slave address, its
// line paced when asked to; each round counts as one polling interval, so its
// energy matches its power at the pace it is polled and a run is reproducible.
std::unique_ptr<SimulatedMeter> start_simulated_meter(const HostOptions& options) {
    try {
        MeterServerOptions meter;
        meter.order = options.word_order;
        meter.slaves = {options.line.slave};
        meter.line_baud = options.simulated_line_baud;
        meter.round_seconds = options.interval_s;
        meter.bits_per_char = 1 + options.line.data_bits + (options.line.parity == 'N' ? 0 : 1) + options.line.stop_bits;
        return std::make_unique<SimulatedMeter>(meter);
    } catch (const std::exception& e) {
        throw Failure(kExitBadLine, std::string("cannot start the simulated meter: ") + e.what());
    }
}

}  // namespace

MeterLine open_meter_line(const HostOptions& options) {
    MeterLine line;
    line.settings = options.line;
    if (line.settings.device.empty()) {
        line.simulated = start_simulated_meter(options);
        line.settings.device = line.simulated->device_path();
    }
    try {
        line.master = open_line(line.settings);
    } catch (const std::exception& e) {
        throw Failure(kExitBadLine, e.what());
    }
    return line;
}

}  // namespace pondrel
