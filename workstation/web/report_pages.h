// Reports on the site's server: the JSON (and CSV) of pondrel-history's
// report, and the page that shows it.
//   GET /report            a period picker, a table of meters and groups, bars per circuit
//   GET /api/v1/report?period=&since=&until=&meter=&group=&format=
//       period hour, day (default), week, month or year; since and until as
//       YYYY-MM-DD (the site's local midnight), Unix seconds or ISO 8601, by
//       default the current period; meter and group may repeat (none: all);
//       format json (default) or csv (a download). 400 for a bad query, 404
//       for an unknown meter or group (naming the known ones) or a site
//       without history, each with {"error": "..."}.
// The site sets what reports know (meters, groups, tariffs, time zone) at
// its start and each reload; handlers run on the server's threads.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "energy_report.h"

namespace httplib {
class Server;
}

namespace pondrel {

class ReportSettings {
public:
    struct Settings {
        ReportSetup setup;
        std::string time_zone;  // "": the machine's
    };
    void set(Settings settings);
    std::shared_ptr<const Settings> get() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> settings_ = std::make_shared<Settings>();
};

void serve_reports(httplib::Server& server, std::optional<std::string> history_file,
                   std::shared_ptr<ReportSettings> settings);

}  // namespace pondrel
