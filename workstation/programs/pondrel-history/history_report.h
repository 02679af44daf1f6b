// pondrel-history report: energy per local calendar period from a history's
// hourly statistics, per meter and group, with costs and peaks, as JSON, CSV
// or a table. The site file (when given) names the groups, tariffs, circuit
// names and time zone; else the history's series are the meters. Writes to
// standard output as history_output does. Main thread only.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "history.h"

namespace pondrel {

struct ReportOptions {
    std::string period = "day";
    std::optional<std::string> since;  // as given: YYYY-MM-DD (local midnight) or a time
    std::optional<std::string> until;
    std::vector<std::string> meters;
    std::vector<std::string> groups;
    std::string format;  // table, json or csv; "": a table on a terminal, else JSON
    std::optional<std::string> config;
};

// Throws Failure: kExitBadOption for an unknown meter, group or time (naming
// the known ones), kExitBadSetting for a site file with errors.
void print_report(History& history, const ReportOptions& options);

}  // namespace pondrel
