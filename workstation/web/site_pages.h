// The page of a site's live readings, each meter's charts, and the JSON API
// they read, on an HTTP server. Read only: every route is a GET and nothing
// it serves names more than a meter's name, line, slave and data id.
//   GET /                  a card per meter, updated each second
//   GET /meter/NAME        the meter's charts over a chosen range
//   GET /static/FILE       the pages' style and scripts; chart.js is the installed Chart.js
//   GET /api/v1/meters     LiveReadings::meters_json()
//   GET /report, GET /api/v1/report   see report_pages.h
//   GET /api/v1/meters/NAME/history?since=&until=&points=
//       a series' buckets (HistoryQuery): since and until as Unix seconds or
//       ISO 8601 (local time unless an offset or Z follows), by default the
//       last hour; points 1 to 10000, by default 1000. 404 for an unknown
//       meter or a site without history, 400 for a bad query, each with
//       {"error": "..."}.
// Handlers run on the server's threads.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "live_readings.h"
#include "report_pages.h"

namespace httplib {
class Server;
}

namespace pondrel {

struct PagesSource {
    std::shared_ptr<LiveReadings> live;
    std::optional<std::string> history_file;  // none: the history API answers 404
    std::string chart_js;                     // the installed Chart.js file
    std::shared_ptr<ReportSettings> report;   // what reports know; none: no reports
};

void serve_pages(httplib::Server& server, PagesSource source);

// Where Chart.js is installed (Debian's libjs-chart.js).
extern const char* const kInstalledChartJs;

}  // namespace pondrel
