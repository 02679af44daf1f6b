// A simulated meter serving on its own thread for as long as this object
// lives; masters open device_path(). Construction throws what MeterServer's
// does; destruction stops the thread within 100 ms.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "meter_server.h"

namespace pondrel {

class SimulatedMeter {
public:
    explicit SimulatedMeter(const MeterServerOptions& options) : server_(options) {
        thread_ = std::thread([this] { server_.serve(stop_); });
    }
    ~SimulatedMeter() {
        stop_ = true;
        thread_.join();
    }
    SimulatedMeter(const SimulatedMeter&) = delete;
    SimulatedMeter& operator=(const SimulatedMeter&) = delete;

    const std::string& device_path() const { return server_.device_path(); }

private:
    MeterServer server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pondrel
