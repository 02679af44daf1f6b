#include "history_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "site_calendar.h"
#include "energy_report.h"
#include "exit_codes.h"
#include "local_time.h"
#include "program_main.h"
#include "report_setup.h"
#include "site_config.h"

namespace pondrel {

namespace {

void put(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        if (errno == EPIPE) std::exit(kExitOk);
        throw Failure(kExitBadOutput, std::string("cannot write to standard output: ") + std::strerror(errno));
    }
}

// A day is the site's local midnight; a time with or without an offset as
// export takes it.
std::int64_t instant_of(const std::string& text, const SiteZone& zone, const char* option) {
    // Reports run from 1970 to the end of 9999.
    const auto sound = [](std::int64_t t) { return t >= 0 && t <= kLastReportInstant; };
    if (const auto midnight = zone.local_midnight(text); midnight && sound(*midnight)) return *midnight;
    if (const auto when = parse_time_argument(text); when && sound(*when)) return *when;
    throw Failure(kExitBadOption, std::string("bad value for ") + option + ": '" + text +
                                      "' (YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM], from 1970 to 9999)");
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "'" : ", '") + name + "'";
    return text.empty() ? "none" : text;
}

}  // namespace

void print_report(History& history, const ReportOptions& options) {
    const std::optional<Period> period = period_named(options.period);
    if (!period) {
        throw Failure(kExitBadOption,
                      "bad value for --period: '" + options.period + "' (hour, day, week, month or year)");
    }
    ReportSetup setup;
    std::string zone_name;
    if (options.config) {
        try {
            const SiteConfig config = read_site_config(*options.config);
            setup = report_setup_of(config);
            zone_name = config.time_zone;
        } catch (const std::exception& e) {
            throw Failure(kExitBadSetting, e.what());
        }
    } else {
        for (const auto& [data_id, meter] : history.statistics_series()) {
            ReportMeter m{meter.empty() ? "data id " + std::to_string(data_id) : meter, data_id, meter, {}, ""};
            for (int n = 1; n <= HourStatistics::kCircuits; ++n) m.circuit_names.push_back("circuit " + std::to_string(n));
            setup.meters.push_back(std::move(m));
        }
    }
    std::vector<std::string> meter_names, group_names;
    for (const ReportMeter& m : setup.meters) meter_names.push_back(m.name);
    for (const ReportGroup& g : setup.groups) group_names.push_back(g.name);
    for (const std::string& meter : options.meters) {
        if (std::find(meter_names.begin(), meter_names.end(), meter) == meter_names.end()) {
            throw Failure(kExitBadOption, "no meter '" + meter + "'; the meters are " + listed(meter_names));
        }
    }
    for (const std::string& group : options.groups) {
        if (std::find(group_names.begin(), group_names.end(), group) == group_names.end()) {
            throw Failure(kExitBadOption, "no group '" + group + "'; the groups are " + listed(group_names) +
                                              (options.config ? "" : " (groups come from the site file: --config)"));
        }
    }
    const SiteZone zone(zone_name);
    ReportAsk ask;
    ask.period = *period;
    ask.meters = options.meters;
    ask.groups = options.groups;
    const auto span = statistics_span(history, setup);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    ask.since = options.since ? instant_of(*options.since, zone, "--since") : span ? span->first * 3600 : now;
    ask.until = options.until ? instant_of(*options.until, zone, "--until") : span ? (span->second + 1) * 3600 : now;
    if (ask.until <= ask.since) {
        if (options.since && options.until) throw Failure(kExitBadOption, "--until must be later than --since");
        ask.until = ask.since + 1;
    }
    if (!history.statistics_complete()) {
        std::fprintf(stderr,
                     "pondrel-history: warning: history %s does not yet hold the hourly statistics of all its rows "
                     "(pondrel-host makes them at its next start); the report leaves those rows out\n",
                     history.path().c_str());
    }
    std::vector<ReportRow> rows;
    try {
        rows = make_report(history, setup, zone, ask);
    } catch (const std::length_error& e) {
        throw Failure(kExitBadOption, e.what());
    }
    const std::string format = !options.format.empty() ? options.format : isatty(STDOUT_FILENO) ? "table" : "json";
    put(format == "csv" ? report_csv(rows, zone) : format == "table" ? report_table(rows, zone) : report_json(rows, zone));
}

}  // namespace pondrel
