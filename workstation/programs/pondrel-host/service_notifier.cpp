#include "service_notifier.h"

#include <systemd/sd-daemon.h>

namespace pondrel {

ServiceNotifier::ServiceNotifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::notify(const std::string& state) { sd_notify(0, state.c_str()); }

void ServiceNotifier::ready(const std::string& status) { notify("READY=1\nSTATUS=" + status); }

void ServiceNotifier::status(const std::string& status) { notify("STATUS=" + status); }

void ServiceNotifier::watchdog() { notify("WATCHDOG=1"); }

void ServiceNotifier::reloading() { notify("RELOADING=1\nSTATUS=reloading the configuration"); }

void ServiceNotifier::stopping() { notify("STOPPING=1\nSTATUS=stopping"); }

}  // namespace pondrel
