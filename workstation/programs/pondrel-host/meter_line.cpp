#include "meter_line.h"

#include <algorithm>
#include <thread>

#include "status_line.h"
#include "stop_signal.h"

namespace pondrel {

void sleep_until(Clock::time_point when) {
    while (!stop_requested() && Clock::now() < when) {
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), when - Clock::now()));
    }
}

namespace {

// The built-in simulated meter, serving the configured slave address, its
// line paced when asked to.
std::unique_ptr<SimulatedMeter> start_simulated_meter(const HostOptions& options) {
    try {
        MeterServerOptions meter;
        meter.order = options.word_order;
        meter.slaves = {options.line.slave};
        meter.line_baud = options.simulated_line_baud;
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

bool reconnect(ModbusMaster& line, const std::string& reason, std::optional<long> failures_left) {
    status_line(line.describe() + " is gone (" + reason + "); reopening it");
    auto wait = std::chrono::milliseconds(500);
    while (!stop_requested()) {
        sleep_until(Clock::now() + wait);
        if (stop_requested()) break;
        try {
            line.reopen();
            status_line(line.describe() + " is back");
            return true;
        } catch (const std::exception& e) {
            if (failures_left && --*failures_left <= 0) {
                throw Failure(kExitMeterFailed, std::string("gave up: ") + e.what());
            }
            wait = std::min<std::chrono::milliseconds>(wait * 2, std::chrono::seconds(10));
        }
    }
    return false;
}

}  // namespace pondrel
