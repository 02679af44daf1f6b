// SIGINT and SIGTERM as a request to stop: the programs poll stop_requested()
// between steps and end within about one step. SIGPIPE is ignored, so that a
// closed pipe shows as EPIPE from write. Call install_stop_signals() once,
// on the main thread, before starting work.
#pragma once

#include <atomic>

namespace pondrel {

void install_stop_signals();
// Set by SIGINT or SIGTERM; any thread may read it, or set it to stop.
std::atomic<bool>& stop_requested();
// SIGHUP as a request to read the configuration again (a program that has
// one calls install_reload_signal(); otherwise SIGHUP ends it, as by default).
void install_reload_signal();
// Set by SIGHUP; the main thread clears it when it reloads.
std::atomic<bool>& reload_requested();

}  // namespace pondrel
