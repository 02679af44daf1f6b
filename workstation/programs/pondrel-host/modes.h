// The modes of pondrel-host, each a whole run: scanning lines for the
// addresses that answer, checking a configuration, and polling meters
// (--once, --rounds and --max-failures bound it; --word-order auto detects
// the order first).
// Each returns the exit code, or throws a Failure with its code and line.
// Main thread only; each ends soon after stop_requested() is set.
#pragma once

#include "json_output.h"
#include "options.h"

namespace pondrel {

// One line on `output` for each address of options.scan that answers, on
// the command line's line or on every line of the configuration.
int scan_line(const HostOptions& options, JsonOutput& output);
// Loads the plug-in, makes and configures a driver for every meter, opens
// the lines and the history, and polls each line on a thread of its own, one
// line on `output` a completed round; SIGHUP reads a configuration again.
// With options.check, prints the configuration and opens nothing.
int poll_meters(const HostOptions& options, JsonOutput& output);

}  // namespace pondrel
