// Command line of pondrel-host. parse_options throws UsageError with a
// one-line message for an unknown option or a bad value.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "rtu_master.h"
#include "word_order.h"

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct HostOptions {
    std::string plugin;            // the plug-in file
    std::string setting;           // device setting file; empty: the default setting
    SerialSettings line;           // line.device empty: the built-in simulated meter
    WordOrder word_order = WordOrder::ABCD;
    std::optional<long> rounds;    // stop after this many completed rounds
    double interval_s = 1.0;       // polling period
    std::string history;           // SQLite file
    bool help = false;
    bool version = false;
};

HostOptions parse_options(int argc, char** argv);
const char* usage_text();
// $XDG_STATE_HOME/pondrel/history.db, else ~/.local/state/pondrel/history.db.
std::string default_history_path();
// The plug-in installed beside this program, else this build's, else the
// one at the configured install path.
std::string default_plugin_path();
