// Tells systemd how the service is, when systemd started it with a
// notification socket (Type=notify); otherwise every call does nothing.
// READY=1 once polling runs, STATUS= a one-line summary, WATCHDOG=1 pings,
// RELOADING=1 around a reload, STOPPING=1. Main thread only.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pondrel {

class ServiceNotifier {
public:
    ServiceNotifier();

    // How often systemd wants a ping (WatchdogSec=), when it watches.
    std::optional<std::chrono::microseconds> watchdog_interval() const { return watchdog_; }

    void ready(const std::string& status);
    void status(const std::string& status);
    void watchdog();
    void reloading();
    void stopping();

private:
    void notify(const std::string& state);
    std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace pondrel
