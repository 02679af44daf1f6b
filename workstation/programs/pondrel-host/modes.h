// The modes of pondrel-host, each a whole run: scanning a line for the
// addresses that answer, and polling one meter (--once, --rounds and
// --max-failures bound it; --word-order auto detects the order first).
// Each returns the exit code, or throws a Failure with its code and line.
// Main thread only; each ends soon after stop_requested() is set.
#pragma once

#include "json_output.h"
#include "options.h"

namespace pondrel {

// One line on `output` for each address of options.scan that answers.
int scan_line(const HostOptions& options, JsonOutput& output);
// Loads the plug-in, makes and configures its device, opens the line and the
// history, and polls, one line on `output` a completed round.
int poll_meter(const HostOptions& options, JsonOutput& output);

}  // namespace pondrel
