#include "report_pages.h"

#include <ctime>
#include <stdexcept>

#include <httplib.h>

#include "history.h"
#include "json_text.h"
#include "local_time.h"
#include "web_assets.h"

namespace pondrel {

void ReportSettings::set(Settings settings) {
    auto next = std::make_shared<const Settings>(std::move(settings));
    const std::lock_guard<std::mutex> lock(mutex_);
    settings_ = std::move(next);
}

std::shared_ptr<const ReportSettings::Settings> ReportSettings::get() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

namespace {

void answer_error(httplib::Response& response, int status, const std::string& message) {
    std::string body = "{\"error\":";
    json_text::string(body, message);
    body += "}";
    response.status = status;
    response.set_content(body, "application/json");
}

// From 1970 to the end of 9999; nothing else.
std::optional<std::int64_t> instant_of(const std::string& text, const SiteZone& zone) {
    std::optional<std::int64_t> found;
    if (const auto midnight = zone.local_midnight(text)) {
        found = *midnight;
    } else if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos) {
        found = std::stoll(text);
    } else if (const auto instant = parse_time_argument(text)) {
        found = static_cast<std::int64_t>(*instant);
    }
    if (found && (*found < 0 || *found > kLastReportInstant)) return std::nullopt;
    return found;
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

// One reader of the history for every report, opened at the first.
struct Reports {
    std::optional<std::string> history_file;
    std::shared_ptr<ReportSettings> settings;
    std::mutex mutex;
    std::unique_ptr<History> history;
};

void report_answer(Reports& reports, const httplib::Request& request, httplib::Response& response) {
    if (!reports.history_file) return answer_error(response, 404, "this site keeps no history");
    for (const auto& [key, value] : request.params) {
        if (key != "period" && key != "since" && key != "until" && key != "meter" && key != "group" && key != "format") {
            return answer_error(response, 400, "unknown parameter " + key + " (period, since, until, meter, group, format)");
        }
    }
    const std::shared_ptr<const ReportSettings::Settings> settings = reports.settings->get();
    ReportAsk ask;
    const std::string period_text = request.has_param("period") ? request.get_param_value("period") : "day";
    const std::optional<Period> period = period_named(period_text);
    if (!period) return answer_error(response, 400, "period must be hour, day, week, month or year");
    ask.period = *period;
    const std::string format = request.has_param("format") ? request.get_param_value("format") : "json";
    if (format != "json" && format != "csv") return answer_error(response, 400, "format must be json or csv");
    std::vector<std::string> meters, groups;
    for (const ReportMeter& m : settings->setup.meters) meters.push_back(m.name);
    for (const ReportGroup& g : settings->setup.groups) groups.push_back(g.name);
    for (std::size_t i = 0; i < request.get_param_value_count("meter"); ++i) {
        const std::string name = request.get_param_value("meter", i);
        if (std::find(meters.begin(), meters.end(), name) == meters.end()) {
            return answer_error(response, 404, "no meter named " + name + "; the meters are " + listed(meters));
        }
        ask.meters.push_back(name);
    }
    for (std::size_t i = 0; i < request.get_param_value_count("group"); ++i) {
        const std::string name = request.get_param_value("group", i);
        if (std::find(groups.begin(), groups.end(), name) == groups.end()) {
            return answer_error(response, 404, "no group named " + name + "; the groups are " + listed(groups));
        }
        ask.groups.push_back(name);
    }
    try {
        const SiteZone zone(settings->time_zone);
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        ask.since = zone.period_start(ask.period, now);
        if (request.has_param("since")) {
            const auto since = instant_of(request.get_param_value("since"), zone);
            if (!since) return answer_error(response, 400, "since must be YYYY-MM-DD, Unix seconds or ISO 8601 time");
            ask.since = *since;
        }
        ask.until = ask.since + 1;
        if (request.has_param("until")) {
            const auto until = instant_of(request.get_param_value("until"), zone);
            if (!until) return answer_error(response, 400, "until must be YYYY-MM-DD, Unix seconds or ISO 8601 time");
            if (*until <= ask.since) return answer_error(response, 400, "since must come before until");
            ask.until = *until;
        }
        // A bound on the answer's size: at most 10,000 periods.
        if ((ask.until - ask.since) / (ask.period == Period::Hour ? 3600 : 86400) > 10000) {
            return answer_error(response, 400, "the range holds more than 10000 periods; ask for a longer period");
        }
        std::vector<ReportRow> rows;
        {
            const std::lock_guard<std::mutex> lock(reports.mutex);
            if (!reports.history) {
                reports.history = std::make_unique<History>(*reports.history_file, History::Access::ReadOnly);
            }
            rows = make_report(*reports.history, settings->setup, zone, ask);
        }
        if (format == "csv") {
            response.set_header("Content-Disposition", "attachment; filename=\"pondrel-report.csv\"");
            response.set_content(report_csv(rows, zone), "text/csv; charset=utf-8");
        } else {
            response.set_content(report_json(rows, zone), "application/json");
        }
    } catch (const std::length_error& e) {
        return answer_error(response, 400, e.what());
    } catch (const std::exception& e) {
        const std::lock_guard<std::mutex> lock(reports.mutex);
        reports.history.reset();  // opened again at the next report
        return answer_error(response, 503, e.what());
    }
}

}  // namespace

void serve_reports(httplib::Server& server, std::optional<std::string> history_file,
                   std::shared_ptr<ReportSettings> settings) {
    auto reports = std::make_shared<Reports>();
    reports->history_file = std::move(history_file);
    reports->settings = std::move(settings);
    server.Get("/report", [](const httplib::Request&, httplib::Response& response) {
        const WebAsset* found = find_web_asset("report.html");
        response.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'self'");
        response.set_content(found->text, found->type);
    });
    server.Get("/api/v1/report", [reports](const httplib::Request& request, httplib::Response& response) {
        report_answer(*reports, request, response);
    });
}

}  // namespace pondrel
