// pondrel-history: reads a pondrel-host history without changing it. `list`
// shows its devices; `export` decodes every stored record into named columns
// with units, as CSV or JSON lines, values exact (each decimal text reads back
// as the stored float); `report` gives the energy per calendar period from
// its hourly statistics.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "history.h"
#include "history_output.h"
#include "history_report.h"
#include "local_time.h"
#include "program_main.h"

namespace {

using namespace pondrel;

const char kDescription[] =
    "Reads a history of pondrel-host without changing it.\n"
    "  list                 each series (a data id from one meter) with its row\n"
    "                       count and first and last times\n"
    "  export               every stored record decoded, oldest first: data_id,\n"
    "                       saved_at, voltage_V, current1_A..current18_A,\n"
    "                       power1_W..power18_W, energy1_kWh..energy18_kWh, meter\n"
    "  report               energy per local calendar period (hour, day, week,\n"
    "                       month, year) of each meter's circuits and each\n"
    "                       group, with cost, highest 15-minute demand and\n"
    "                       coverage; groups, tariffs, circuit names and the\n"
    "                       time zone come from the site file (--config)\n";

const char kFooter[] =
    "Times are ISO 8601 with the UTC offset stored with the row (rows stored\n"
    "before rows had one: this machine's). Values are the record's floats in\n"
    "the shortest decimal that reads back as the same float (power in W; the\n"
    "snapshot shows kW); a value that is not a number is nan or inf in CSV and\n"
    "null in JSON.\n"
    "Exit codes: 0 done, 1 unexpected failure, 2 bad option, 4 site file\n"
    "(report --config), 6 history,\n"
    "7 standard output cannot be written.";

struct Options {
    std::string command;  // list, export or report; empty: --help or --version was answered
    std::string history;
    ExportOptions export_options;
    ReportOptions report_options;
};

std::time_t time_argument(const std::string& text, const char* option) {
    const auto when = parse_time_argument(text);
    if (!when) {
        throw UsageError(std::string("bad value for ") + option + ": '" + text +
                         "' (YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM], the offset from -14:00 to +14:00)");
    }
    return *when;
}

Options parse(int argc, char** argv) {
    Options options;
    std::string data_id, since, until, format, meter, period = "day", config;
    std::vector<std::string> meters, groups;
    CLI::App app;
    set_up_command_line(app,
                        "pondrel-history list --history FILE\n"
                        "       pondrel-history export --history FILE [--data-id N] [--meter NAME] [--since T] [--until T]\n"
                        "                              [--format csv|jsonl]\n"
                        "       pondrel-history report --history FILE [--config SITE.toml] [--period hour|day|week|month|year]\n"
                        "                              [--since T] [--until T] [--meter NAME]... [--group NAME]...\n"
                        "                              [--format table|json|csv]",
                        kDescription, kFooter, "pondrel-history " PONDREL_VERSION);
    app.add_option("command", options.command, "list, export or report")->type_name("COMMAND");
    app.add_option("--history", options.history, "the history (pondrel-host's --history)")->type_name("FILE");
    app.add_option("--data-id", data_id, "only this device's rows")->type_name("N")->check(whole_number(0, 0xFFFFFFFFLL));
    app.add_option("--meter", meters, "only this meter's rows (a name as list shows it); report: may be repeated")
        ->type_name("NAME");
    app.add_option("--group", groups, "report: only this group (may be repeated)")->type_name("NAME");
    app.add_option("--period", period, "report: hour, day (default), week (from Monday), month or year")
        ->type_name("PERIOD");
    app.add_option("--config", config, "report: the site file, for groups, tariffs, names and time zone")
        ->type_name("FILE");
    app.add_option("--since", since, "only rows saved at or after T")->type_name("T");
    app.add_option("--until", until,
                   "only rows saved before T; T is YYYY-MM-DD[THH:MM[:SS]] in local time, or with Z or +HH:MM")
        ->type_name("T");
    app.add_option("--format", format,
                   "export: csv (default): a header line, then a line a record; jsonl: one JSON object a record;"
                   " report: table (default on a terminal), json (default otherwise) or csv")
        ->type_name("FORMAT");
    if (!parse_command_line(app, argc, argv)) return options;
    if (options.command.empty()) throw UsageError("no command (list, export or report; see --help)");
    if (options.command != "list" && options.command != "export" && options.command != "report") {
        throw UsageError("unknown command '" + options.command + "' (list, export or report)");
    }
    if (options.history.empty()) throw UsageError("--history FILE is needed");
    if (options.command == "report") {
        ReportOptions& report = options.report_options;
        if (!format.empty() && format != "table" && format != "json" && format != "csv") {
            throw UsageError("bad value for --format: '" + format + "' (table, json or csv)");
        }
        report.format = format;
        report.period = period;
        report.meters = meters;
        report.groups = groups;
        if (app.count("--since") > 0) report.since = since;
        if (app.count("--until") > 0) report.until = until;
        if (app.count("--config") > 0) report.config = config;
        return options;
    }
    if (!format.empty() && format != "csv" && format != "jsonl") {
        throw UsageError("bad value for --format: '" + format + "' (csv or jsonl)");
    }
    if (meters.size() > 1) throw UsageError("export takes one --meter");
    if (!meters.empty()) meter = meters.front();
    for (const char* only : {"--group", "--period", "--config"}) {
        if (app.count(only) > 0) throw UsageError(std::string(only) + " is an option of report");
    }
    ExportOptions& selection = options.export_options;
    if (!data_id.empty()) selection.data_id = static_cast<std::uint32_t>(std::stoull(data_id));
    if (app.count("--meter") > 0) selection.meter = meter;
    if (app.count("--since") > 0) selection.since = time_argument(since, "--since");
    if (app.count("--until") > 0) selection.until = time_argument(until, "--until");
    selection.jsonl = format == "jsonl";
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    return guarded_main("pondrel-history", [&] {
        Options options;
        try {
            options = parse(argc, argv);
        } catch (const UsageError& e) {
            throw Failure(kExitBadOption, e.what());
        }
        if (options.command.empty()) return static_cast<int>(kExitOk);
        std::unique_ptr<History> history;
        try {
            history = std::make_unique<History>(options.history, History::Access::ReadOnly);
        } catch (const std::exception& e) {
            throw Failure(kExitBadHistory, e.what());
        }
        try {
            if (options.command == "list") {
                list_devices(*history);
            } else if (options.command == "report") {
                print_report(*history, options.report_options);
            } else {
                export_rows(*history, options.export_options);
            }
        } catch (const Failure&) {
            throw;
        } catch (const std::runtime_error& e) {
            throw Failure(kExitBadHistory, e.what());
        }
        if (std::fflush(stdout) != 0) {
            if (errno == EPIPE) return static_cast<int>(kExitOk);
            throw Failure(kExitBadOutput, std::string("cannot write to standard output: ") + std::strerror(errno));
        }
        return static_cast<int>(kExitOk);
    });
}
