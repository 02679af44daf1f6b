// Command line of pondrel-host. parse_options throws UsageError with a
// one-line message for an unknown option or a bad value. Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "usage_error.h"
#include "modbus_master.h"
#include "word_order.h"

namespace pondrel {

enum class OutputFormat { Json, Table, Influx, Readings };

struct HostOptions {
    std::string config;            // a site's configuration file; empty: the command line's one meter
    bool check = false;            // check and print the configuration, then exit
    std::string plugin;            // the plug-in file
    bool plugin_given = false;     // --plugin was given (it overrides the configuration's)
    std::string setting;           // device setting file; empty: the default setting
    SerialSettings line;           // line.device empty: the built-in simulated meter
    WordOrder word_order = WordOrder::ABCD;
    bool word_order_auto = false;  // detect the word order before polling
    std::optional<long> rounds;    // stop after this many completed rounds
    bool once = false;             // one round attempt, no waiting
    std::optional<long> max_failures;  // give up after this many failed rounds in a row
    std::optional<std::pair<int, int>> scan;  // slave addresses to try, then exit
    int retries = 1;               // --scan: more tries of an address that did not answer
    double interval_s = 1.0;       // polling period; 0: back to back
    std::string history;           // SQLite file
    bool history_given = false;    // --history was given (it overrides the configuration's)
    bool no_history = false;       // --no-history: store nothing, restore nothing
    std::optional<std::uint32_t> data_id;  // --data-id: the lone meter's data id
    std::optional<long> keep_days; // delete the device's rows older than this, hourly
    std::optional<std::string> metrics;  // HOST:PORT serving Prometheus' /metrics
    std::optional<std::string> web;      // HOST:PORT serving the page and its API
    std::optional<std::string> log_level;  // error, warning, info or debug (over the file's)
    OutputFormat format = OutputFormat::Json;
    int simulated_line_baud = 0;   // the built-in meter's paced line; 0: not paced
};

// Nothing when --help or --version was given (their text is printed).
std::optional<HostOptions> parse_options(int argc, const char* const* argv);

// "FROM-TO" or one address, each 1 to 247, FROM not above TO. Throws UsageError.
std::pair<int, int> parse_scan_range(const std::string& text);

// $XDG_STATE_HOME/pondrel/history.db, else ~/.local/state/pondrel/history.db.
std::string default_history_path();
// The plug-in installed beside this program, else this build's, else the
// one at the configured install path.
std::string default_plugin_path();

}  // namespace pondrel
