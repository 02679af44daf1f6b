#include "options.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "command_line.h"
#include "endpoint.h"
#include "site_config.h"

namespace pondrel {

namespace {

const char kDescription[] =
    "Loads the meter plug-in, polls the meter over Modbus and prints the driver's\n"
    "JSON snapshot after every completed round, one object a line. Without\n"
    "--device, --tcp or --rtu-over-tcp it polls a built-in simulated meter; with\n"
    "--config, every meter on every line of a site's configuration file.\n";

// The options that say what a meter and its line are: a configuration file
// says that itself.
const char* const kLineAndMeterOptions[] = {
    "--device", "--tcp", "--rtu-over-tcp", "--baud", "--parity", "--data-bits", "--stop-bits", "--slave",
    "--timeout", "--connect-pause", "--request-pause", "--word-order", "--setting", "--interval", "--data-id"};

const char kFooter[] =
    "Standard output carries only the rounds' lines; status lines and the plug-in's\n"
    "console lines go to standard error. A lost serial device (unplugged\n"
    "adapter) is reopened, waiting 0.5 s doubling to 10 s between attempts; a\n"
    "history that is locked or full keeps records in memory until it takes\n"
    "them again.\n"
    "\n"
    "Exit codes: 0 done (or standard output closed by its reader), 1 unexpected\n"
    "failure, 2 bad option, 3 plug-in, 4 setting file, 5 serial device or\n"
    "gateway, 6 history, 7 standard output cannot be written, 8 the meter did\n"
    "not answer as it should (--once, --max-failures, --scan), 9 no single word\n"
    "order fits (--word-order auto).";

UsageError bad_value(const std::string& option, const std::string& text, const std::string& what = "") {
    return UsageError("bad value for " + option + ": '" + text + "'" + (what.empty() ? "" : " (" + what + ")"));
}

void endpoint(const std::string& text, const std::string& option, bool need_port, SerialSettings& line) {
    try {
        parse_endpoint(text, need_port, line);
    } catch (const std::invalid_argument& e) {
        throw UsageError("bad value for " + option + ": " + e.what());
    }
}

}  // namespace

std::pair<int, int> parse_scan_range(const std::string& text) {
    const std::size_t dash = text.find('-');
    const std::string from = text.substr(0, dash);
    const std::string to = dash == std::string::npos ? from : text.substr(dash + 1);
    int first = 0, last = 0;
    try {
        first = static_cast<int>(whole_number_of(from, "--scan", 1, 247));
        last = static_cast<int>(whole_number_of(to, "--scan", 1, 247));
    } catch (const UsageError&) {
        throw bad_value("--scan", text, "FROM-TO, addresses from 1 to 247, e.g. 1-247 or 5");
    }
    if (first > last) throw bad_value("--scan", text, "FROM-TO, FROM not above TO");
    return {first, last};
}

std::optional<HostOptions> parse_options(int argc, const char* const* argv) {
    HostOptions options;
    options.plugin = default_plugin_path();
    options.history = default_history_path();
    SerialSettings& line = options.line;

    CLI::App app;
    set_up_command_line(app, "pondrel-host [options]", kDescription, kFooter, "pondrel-host " PONDREL_VERSION);

    const std::string meter = "The meter and its line";
    std::string device, tcp, rtu_over_tcp, parity, word_order, scan, format;
    app.add_option("--device", device, "serial device of a real meter, e.g. /dev/ttyUSB0")
        ->type_name("PATH")->check(non_empty("an empty path"))->group(meter);
    app.add_option("--tcp", tcp, "a Modbus TCP gateway or meter (port 502)")->type_name("HOST[:PORT]")->group(meter);
    app.add_option("--rtu-over-tcp", rtu_over_tcp, "a gateway that passes Modbus RTU frames over TCP")
        ->type_name("HOST:PORT")->group(meter);
    auto* baud = app.add_option("--baud", line.baud,
                                "line speed (9600); without a device, the simulated meter's line is paced "
                                "at N baud when N is given")
                     ->type_name("N")->check(whole_number(50, 4000000))->group(meter);
    app.add_option("--parity", parity, "parity (N: none)")
        ->type_name("N|E|O")->check(one_of({"N", "E", "O"}, "N, E or O"))->group(meter);
    app.add_option("--data-bits", line.data_bits, "data bits (8)")->type_name("7|8")->check(whole_number(7, 8))->group(meter);
    app.add_option("--stop-bits", line.stop_bits, "stop bits (1)")->type_name("1|2")->check(whole_number(1, 2))->group(meter);
    app.add_option("--slave", line.slave, "meter's slave address, 1 to 247 (1)")
        ->type_name("ID")->check(whole_number(1, 247))->group(meter);
    auto* timeout = app.add_option("--timeout", line.timeout_ms,
                                   "response timeout in milliseconds (500; 100 an address for --scan)")
                        ->type_name("MS")->check(whole_number(1, 60000))->group(meter);
    app.add_option("--connect-pause", line.connect_pause_ms, "quiet time after opening the line (0)")
        ->type_name("MS")->check(whole_number(0, 60000))->group(meter);
    app.add_option("--request-pause", line.request_pause_ms, "quiet time before each request (0)")
        ->type_name("MS")->check(whole_number(0, 60000))->group(meter);
    app.add_option("--word-order", word_order,
                   "how the meter lays a float over two registers (ABCD: high word first, big-endian bytes); "
                   "auto: the one order whose voltage is 50 to 500 V")
        ->type_name("ABCD|CDAB|BADC|DCBA|auto")
        ->check(one_of({"ABCD", "CDAB", "BADC", "DCBA", "auto"}, "ABCD, CDAB, BADC, DCBA or auto"))
        ->group(meter);

    const std::string site = "A site";
    app.add_option("--config", options.config,
                   "a site's configuration (TOML): its lines, meters, plug-in and history; line and meter "
                   "options then come from the file")
        ->type_name("FILE")->check(non_empty("an empty path"))->group(site);
    app.add_flag("--check", options.check,
                 "check the configuration and print it with every default filled in, then exit, opening nothing")
        ->group(site);

    const std::string checking = "Checking a meter";
    auto* once = app.add_flag("--once", options.once,
                              "one round attempt: exit 0 with its line when it completes, else exit 8 naming "
                              "the likely causes")
                     ->group(checking);
    app.add_option("--scan", scan,
                   "try each slave address in the range and print one line for each that answers; exit 0 "
                   "if any did")
        ->type_name("FROM-TO")->group(checking);
    app.add_option("--retries", options.retries, "--scan: tries more of an address that did not answer (1)")
        ->type_name("N")->check(whole_number(0, 10))->group(checking);

    const std::string polling = "Polling";
    std::string plugin;
    long rounds = 0, max_failures = 0, keep_days = 0;
    app.add_option("--plugin", plugin,
                   "plug-in to load (the installed pondrel.so, or this build's when run from a build tree)")
        ->type_name("FILE")->group(polling);
    app.add_option("--setting", options.setting,
                   "device setting, a JSON object; its \"data_id\" is the device's data id (default: "
                   "{\"data_id\": 1})")
        ->type_name("FILE")->group(polling);
    auto* rounds_option = app.add_option("--rounds", rounds,
                                         "stop after N completed rounds (default: run until SIGINT or SIGTERM)")
                              ->type_name("N")->check(whole_number(1, 1000000000))->group(polling);
    app.add_option("--max-failures", max_failures, "give up (exit 8) after K failed rounds in a row (default: never)")
        ->type_name("K")->check(whole_number(1, 1000000000))->group(polling);
    app.add_option("--interval", options.interval_s,
                   "polling period (1); 0: rounds back to back. A round that overruns its period skips "
                   "the periods missed")
        ->type_name("SECONDS")->check(seconds_up_to(86400))->group(polling);
    app.add_option("--format", format,
                   "json: the driver's snapshot, one line a round (with --config, in an object naming the "
                   "meter); table: time, voltage and a row per circuit; influx: InfluxDB line protocol; "
                   "readings: one JSON object a round with English names and SI units")
        ->type_name("json|table|influx|readings")
        ->check(one_of({"json", "table", "influx", "readings"}, "json, table, influx or readings"))
        ->group(polling);
    auto* history = app.add_option("--history", options.history,
                                   "SQLite device history ($XDG_STATE_HOME/pondrel/history.db); --once stores "
                                   "in it only when it is given")
                        ->type_name("FILE")->check(non_empty("an empty path"))->group(polling);
    auto* no_history = app.add_flag("--no-history", options.no_history,
                                    "store no round and restore no record (a check that leaves no trace)")
                           ->group(polling);
    no_history->excludes(history);
    long long data_id = 0;
    app.add_option("--data-id", data_id,
                   "the meter's data id, its series in the history (1, or the setting file's data_id)")
        ->type_name("N")->check(whole_number(0, 0xFFFFFFFFLL))->group(polling);
    app.add_option("--keep-days", keep_days, "every hour, delete the device's rows older than N days (never its newest)")
        ->type_name("N")->check(whole_number(1, 100000))->group(polling);
    std::string log_level;
    auto* level = app.add_option("--log-level", log_level,
                                 "the least severe status lines shown on standard error (info; over the file's "
                                 "log_level)")
                      ->type_name("error|warning|info|debug")
                      ->check(one_of({"error", "warning", "info", "debug"}, "error, warning, info or debug"))
                      ->group(polling);
    auto* quiet = app.add_flag("--quiet", "only errors on standard error (--log-level error)")->group(polling);
    auto* verbose = app.add_flag("--verbose", "every status line (--log-level debug)")->group(polling);
    quiet->excludes(verbose)->excludes(level);
    verbose->excludes(level);
    std::string metrics;
    app.add_option("--metrics", metrics, "serve Prometheus' GET /metrics on HOST:PORT (over [prometheus] listen)")
        ->type_name("HOST:PORT")->group(polling);
    std::string web;
    app.add_option("--web", web,
                   "serve the page of live readings and charts on HOST:PORT or :PORT (over [web] listen)")
        ->type_name("HOST:PORT")->group(polling);
    once->excludes(rounds_option);

    if (!parse_command_line(app, argc, argv)) return std::nullopt;
    if (!options.config.empty()) {
        for (const char* option : kLineAndMeterOptions) {
            if (app.count(option) > 0) throw UsageError(std::string(option) + " and --config exclude each other");
        }
    } else if (options.check) {
        throw UsageError("--check needs --config");
    }
    options.history_given = app.count("--history") > 0;

    int lines_given = 0;
    if (app.count("--device") > 0) {
        line.transport = Transport::Serial;
        line.device = device;
        ++lines_given;
    }
    if (app.count("--tcp") > 0) {
        line.transport = Transport::Tcp;
        endpoint(tcp, "--tcp", false, line);
        ++lines_given;
    }
    if (app.count("--rtu-over-tcp") > 0) {
        line.transport = Transport::RtuOverTcp;
        endpoint(rtu_over_tcp, "--rtu-over-tcp", true, line);
        ++lines_given;
    }
    if (lines_given > 1) throw UsageError("give one of --device, --tcp and --rtu-over-tcp");
    if (!parity.empty()) line.parity = parity[0];
    if (word_order == "auto") {
        options.word_order_auto = true;
    } else if (!word_order.empty()) {
        options.word_order = *parse_word_order(word_order);
    }
    if (app.count("--plugin") > 0) {
        options.plugin_given = true;
        options.plugin = plugin;
        // dlopen looks a name without a slash up in the library path; a file
        // of that name here is what the user means.
        if (plugin.find('/') == std::string::npos && std::filesystem::exists(plugin)) options.plugin = "./" + plugin;
    }
    if (app.count("--rounds") > 0) options.rounds = rounds;
    if (app.count("--data-id") > 0) options.data_id = static_cast<std::uint32_t>(data_id);
    // A check stores nothing nobody asked for.
    if ((options.once || app.count("--scan") > 0) && !options.history_given) options.no_history = true;
    if (app.count("--max-failures") > 0) options.max_failures = max_failures;
    if (app.count("--keep-days") > 0) options.keep_days = keep_days;
    if (app.count("--log-level") > 0) options.log_level = log_level;
    if (app.count("--quiet") > 0) options.log_level = "error";
    if (app.count("--verbose") > 0) options.log_level = "debug";
    if (app.count("--metrics") > 0) {
        try {
            host_and_port(metrics, true);
        } catch (const std::invalid_argument& e) {
            throw UsageError("--metrics must be HOST:PORT, not '" + metrics + "': " + e.what());
        }
        options.metrics = metrics;
    }
    if (app.count("--web") > 0) {
        try {
            options.web = web_listen(web);
        } catch (const std::invalid_argument& e) {
            throw UsageError("--web must be HOST:PORT or :PORT, not '" + web + "': " + e.what());
        }
    }
    if (format == "table") options.format = OutputFormat::Table;
    if (format == "influx") options.format = OutputFormat::Influx;
    if (format == "readings") options.format = OutputFormat::Readings;
    if (app.count("--scan") > 0) {
        options.scan = parse_scan_range(scan);
        if (timeout->count() == 0) line.timeout_ms = 100;
    }
    // The built-in simulated meter paces its line only when asked to.
    options.simulated_line_baud = line.device.empty() && baud->count() > 0 ? line.baud : 0;
    return options;
}

std::string default_history_path() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
        return std::string(state) + "/pondrel/history.db";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home) + "/.local/state/pondrel/history.db";
    }
    return "pondrel-history.db";
}

std::string default_plugin_path() {
    namespace fs = std::filesystem;
    std::error_code error;
    // An installed program first: the plug-in installed beside it, wherever
    // the package was unpacked.
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path beside = (self.parent_path() / PONDREL_PLUGIN_FROM_BINDIR / "pondrel.so").lexically_normal();
        if (fs::exists(beside, error)) return beside.string();
    }
    // Then this build tree's own plug-in, so a build runs what it just built.
    if (fs::exists(PONDREL_BUILD_PLUGIN, error)) return PONDREL_BUILD_PLUGIN;
    return PONDREL_INSTALLED_PLUGIN;
}

}  // namespace pondrel
