#include "site_pages.h"

#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include <httplib.h>

#include "history_query.h"
#include "json_text.h"
#include "local_time.h"
#include "web_assets.h"

namespace pondrel {

const char* const kInstalledChartJs = PONDREL_CHART_JS;

namespace {

constexpr int kDefaultPoints = 1000;
constexpr int kMaxPoints = 10000;
constexpr std::int64_t kDefaultRange_s = 3600;

void answer_error(httplib::Response& response, int status, const std::string& message) {
    std::string body = "{\"error\":";
    json_text::string(body, message);
    body += "}";
    response.status = status;
    response.set_content(body, "application/json");
}

// Unix seconds or ISO 8601; nothing when it is neither.
std::optional<std::int64_t> parse_instant(const std::string& text) {
    if (!text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos) {
        return std::stoll(text);
    }
    if (const auto instant = parse_time_argument(text)) return static_cast<std::int64_t>(*instant);
    return std::nullopt;
}

// What the pages share: the readings, the history (opened at its first query).
struct Pages {
    PagesSource source;
    std::mutex mutex;
    std::unique_ptr<HistoryQuery> history;
    std::string chart_js;  // read at its first request
    bool chart_js_read = false;

    HistoryQuery& query() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!history) history = std::make_unique<HistoryQuery>(*source.history_file);
        return *history;
    }
    std::string chart() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!chart_js_read) {
            std::ifstream file(source.chart_js, std::ios::binary);
            std::ostringstream text;
            text << file.rdbuf();
            if (file) chart_js = text.str();
            chart_js_read = !chart_js.empty();
        }
        return chart_js;
    }
};

void history_answer(Pages& pages, const httplib::Request& request, httplib::Response& response) {
    const std::string name = request.matches[1];
    const std::optional<MeterIdentity> meter = pages.source.live->meter(name);
    if (!meter) return answer_error(response, 404, "no meter named " + name);
    if (!pages.source.history_file) return answer_error(response, 404, "this site keeps no history");
    for (const auto& [key, value] : request.params) {
        if (key != "since" && key != "until" && key != "points") {
            return answer_error(response, 400, "unknown parameter " + key + " (since, until, points)");
        }
    }
    std::int64_t until = std::time(nullptr);
    if (request.has_param("until")) {
        const auto parsed = parse_instant(request.get_param_value("until"));
        if (!parsed) return answer_error(response, 400, "until must be Unix seconds or ISO 8601 time");
        until = *parsed;
    }
    std::int64_t since = until - kDefaultRange_s;
    if (request.has_param("since")) {
        const auto parsed = parse_instant(request.get_param_value("since"));
        if (!parsed) return answer_error(response, 400, "since must be Unix seconds or ISO 8601 time");
        since = *parsed;
    }
    if (since >= until) return answer_error(response, 400, "since must come before until");
    int points = kDefaultPoints;
    if (request.has_param("points")) {
        const std::string text = request.get_param_value("points");
        if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(text) < 1 || std::stoi(text) > kMaxPoints) {
            return answer_error(response, 400, "points must be a whole number from 1 to " + std::to_string(kMaxPoints));
        }
        points = std::stoi(text);
    }
    HistoryQuery::Answer answer;
    try {
        answer = pages.query().series(meter->data_id, meter->series, since, until, points);
    } catch (const std::exception& e) {
        return answer_error(response, 503, e.what());
    }
    using namespace json_text;
    std::string out = "{\"meter\":";
    string(out, meter->name);
    out += ",\"since\":";
    string(out, iso_with_offset(static_cast<std::time_t>(answer.since)));
    out += ",\"until\":";
    string(out, iso_with_offset(static_cast<std::time_t>(answer.until)));
    out += ",\"bucket_s\":" + std::to_string(answer.bucket_s);
    out += answer.from_minutes ? ",\"source\":\"minutes\"" : ",\"source\":\"rounds\"";
    out += ",\"points\":[";
    out.reserve(out.size() + answer.buckets.size() * 700);
    for (std::size_t n = 0; n < answer.buckets.size(); ++n) {
        const HistoryQuery::Bucket& b = answer.buckets[n];
        if (n > 0) out += ',';
        out += "{\"t\":" + std::to_string(b.start) + ",\"time\":";
        string(out, iso_with_offset(static_cast<std::time_t>(b.start)));
        out += ",\"rounds\":" + std::to_string(b.rounds) + ",\"voltage_V\":{\"min\":";
        number(out, b.voltage_min);
        out += ",\"mean\":";
        number(out, b.voltage_mean);
        out += ",\"max\":";
        number(out, b.voltage_max);
        out += "},\"current_A\":";
        numbers(out, b.current_mean);
        out += ",\"power_W\":";
        numbers(out, b.power_mean);
        out += ",\"energy_kWh\":";
        numbers(out, b.energy_last);
        out += ",\"energy_used_kWh\":";
        number(out, b.energy_used);
        out += '}';
    }
    out += "]}";
    response.set_content(out, "application/json");
}

}  // namespace

void serve_pages(httplib::Server& server, PagesSource source) {
    auto pages = std::make_shared<Pages>();
    pages->source = std::move(source);
    // The pages load nothing from elsewhere, and run no script of anyone else.
    const auto page = [](httplib::Response& response, const char* name) {
        const WebAsset* found = find_web_asset(name);
        response.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'self'");
        response.set_content(found->text, found->type);
    };
    const auto asset = [page](const char* name) {
        return [name, page](const httplib::Request&, httplib::Response& response) { page(response, name); };
    };
    server.Get("/", asset("index.html"));
    server.Get(R"(/meter/(.+))", [pages, page](const httplib::Request& request, httplib::Response& response) {
        if (!pages->source.live->meter(request.matches[1])) {
            response.status = 404;
            response.set_content("no meter named " + std::string(request.matches[1]) + "\n", "text/plain; charset=utf-8");
            return;
        }
        page(response, "meter.html");
    });
    server.Get("/static/chart.js", [pages](const httplib::Request&, httplib::Response& response) {
        const std::string chart = pages->chart();
        if (chart.empty()) {
            response.status = 404;
            response.set_content("Chart.js is not installed at " + pages->source.chart_js + " (package libjs-chart.js)\n",
                                 "text/plain; charset=utf-8");
            return;
        }
        response.set_header("Cache-Control", "max-age=86400");
        response.set_content(chart, "text/javascript; charset=utf-8");
    });
    server.Get(R"(/static/([a-z.-]+))", [](const httplib::Request& request, httplib::Response& response) {
        const WebAsset* found = find_web_asset(request.matches[1]);
        if (found == nullptr || std::string(found->type).rfind("text/html", 0) == 0) {
            response.status = 404;
            response.set_content("not found\n", "text/plain; charset=utf-8");
            return;
        }
        response.set_content(found->text, found->type);
    });
    server.Get("/api/v1/meters", [pages](const httplib::Request&, httplib::Response& response) {
        response.set_content(pages->source.live->meters_json(), "application/json");
    });
    server.Get(R"(/api/v1/meters/(.+)/history)",
               [pages](const httplib::Request& request, httplib::Response& response) {
                   history_answer(*pages, request, response);
               });
    if (pages->source.report) serve_reports(server, pages->source.history_file, pages->source.report);
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            response.set_content(response.status == 404 ? "not found\n" : "not served\n", "text/plain; charset=utf-8");
        }
    });
}

}  // namespace pondrel
