// The page's routes over real HTTP on a loopback port: what each answers,
// the history API's shape, ranges and refusals, and that nothing but GET is
// served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include "history.h"
#include "http_server.h"
#include "loopback_listener.h"
#include "pondrel_data.h"
#include "site_pages.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors << text;
    return value;
}

class SitePagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_ + "/chart.js") << "window.Chart = function () {};\n";
        // Two hours of one round a minute, ending a minute ago.
        History history(dir_ + "/history.db");
        const auto now = boost::posix_time::second_clock::local_time();
        for (int n = 120; n >= 1; --n) {
            Pondrel_Data_t data{};
            data.voltage = 230.0f;
            data.energy[0] = static_cast<float>(1000 - n);
            JournalEntry entry;
            entry.data_id = 5;
            entry.saved_at = now - boost::posix_time::minutes(n);
            entry.utc_offset_s = utc_offset_at(entry.saved_at);
            entry.meter = "hall";
            entry.record.resize(sizeof data);
            std::memcpy(entry.record.data(), &data, sizeof data);
            history.append_row(entry);
        }
    }
    void TearDown() override { server_.reset(); }
    // Serves the site's pages; `history` or none.
    httplib::Client serve(bool history = true, const std::string& chart_js = "chart.js") {
        live_ = std::make_shared<LiveReadings>();
        live_->set_site({{"hall", "bus", 1, 5, "hall"}, {"a b/c", "bus", 2, 6, "a b/c"}}, {1.0, 1.0});
        const int port = testing_support::free_loopback_port();
        server_ = std::make_unique<HttpServer>("127.0.0.1:" + std::to_string(port), "the page");
        auto report = std::make_shared<ReportSettings>();
        ReportSetup setup;
        setup.meters.push_back({"hall", 5, "hall", std::vector<std::string>(18, "lamp"), ""});
        setup.groups.push_back({"Hall lights", {{0, 0}, {0, 1}}, ""});
        setup.tariffs.push_back({"home", "EUR", 0.25, "", {}, std::nullopt});
        report->set({setup, ""});
        serve_pages(server_->routes(), {live_, history ? std::optional<std::string>(dir_ + "/history.db") : std::nullopt,
                                        dir_ + "/" + chart_js, report});
        server_->start();
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(5);
        client.set_read_timeout(5);
        for (int tries = 0; tries < 100 && !client.Get("/api/v1/meters"); ++tries) usleep(10000);
        return client;
    }

    const testing_support::TempFolder folder_{"pages-test"};
    const std::string dir_ = folder_.path();
    std::shared_ptr<LiveReadings> live_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace

TEST_F(SitePagesTest, EachRouteAnswersWithItsKindOfContent) {
    httplib::Client client = serve();
    const struct {
        const char* path;
        int status;
        const char* type;  // prefix of Content-Type
        const char* holds;
    } cases[] = {
        {"/", 200, "text/html", "/static/live.js"},
        {"/meter/hall", 200, "text/html", "/static/chart.js"},
        {"/meter/a%20b%2Fc", 200, "text/html", "/static/chart.js"},  // any name, escaped
        {"/meter/nobody", 404, "text/plain", "no meter named nobody"},
        {"/static/live.js", 200, "text/javascript", "/api/v1/meters"},
        {"/static/charts.js", 200, "text/javascript", "/history?since="},
        {"/static/pondrel.css", 200, "text/css", ".card"},
        {"/static/chart.js", 200, "text/javascript", "window.Chart"},
        {"/static/index.html", 404, "text/plain", "not found"},
        {"/static/../site_pages.cpp", 404, "text/plain", ""},
        {"/api/v1/meters", 200, "application/json", "\"meters\""},
        {"/api/v1/nothing", 404, "text/plain", "not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto answer = client.Get(c.path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, c.status);
        EXPECT_EQ(answer->get_header_value("Content-Type").rfind(c.type, 0), 0u) << answer->get_header_value("Content-Type");
        EXPECT_NE(answer->body.find(c.holds), std::string::npos) << answer->body.substr(0, 200);
        if (std::string(c.type) == "text/html") {
            EXPECT_EQ(answer->get_header_value("Content-Security-Policy").rfind("default-src 'self'", 0), 0u);
        }
    }
    // Read only: nothing but GET (and HEAD) is answered.
    for (const auto& answer : {client.Post("/api/v1/meters", "{}", "application/json"), client.Delete("/"),
                               client.Put("/meter/hall", "", "text/plain")}) {
        ASSERT_TRUE(answer);
        EXPECT_GE(answer->status, 400);
    }
}

TEST_F(SitePagesTest, TheHistoryAnswersRangesAndRefusesWhatItCannotAnswer) {
    httplib::Client client = serve();
    const std::int64_t now = std::time(nullptr);
    const std::string hall = "/api/v1/meters/hall/history";
    // The default: the last hour, at most 1000 points.
    auto answer = client.Get(hall);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    Json::Value body = parsed(answer->body);
    EXPECT_EQ(body["meter"].asString(), "hall");
    EXPECT_EQ(body["source"].asString(), "rounds");
    EXPECT_GE(body["points"].size(), 58u);
    EXPECT_LE(body["points"].size(), 60u);
    const Json::Value& point = body["points"][0];
    for (const char* key : {"t", "time", "rounds", "voltage_V", "current_A", "power_W", "energy_kWh", "energy_used_kWh"}) {
        EXPECT_TRUE(point.isMember(key)) << key;
    }
    EXPECT_DOUBLE_EQ(point["voltage_V"]["mean"].asDouble(), 230.0);
    EXPECT_EQ(point["power_W"].size(), 18u);

    // Two hours in 4 points: half-hour buckets from the minutes, 2 kWh a minute... 1 kWh a round.
    answer = client.Get(hall + "?since=" + std::to_string(now - 7200 - 60) + "&until=" + std::to_string(now) + "&points=4");
    ASSERT_EQ(answer->status, 200) << answer->body;
    body = parsed(answer->body);
    EXPECT_EQ(body["source"].asString(), "minutes");
    EXPECT_EQ(body["bucket_s"].asInt(), 1860);
    ASSERT_LE(body["points"].size(), 4u);
    double used = 0;
    long rounds = 0;
    for (const auto& p : body["points"]) {
        used += p["energy_used_kWh"].asDouble();
        rounds += p["rounds"].asInt();
    }
    EXPECT_EQ(rounds, 120);
    EXPECT_DOUBLE_EQ(used, 119.0);  // from the first round's counter to the last's

    // ISO 8601 times are taken as well as Unix seconds.
    answer = client.Get(hall + "?since=2026-01-01T00:00:00Z&until=2026-01-02T00:00:00%2B01:00&points=10");
    EXPECT_EQ(answer->status, 200) << answer->body;

    const struct {
        const char* path;
        int status;
        const char* says;
    } refusals[] = {
        {"/api/v1/meters/nobody/history", 404, "no meter named nobody"},
        {"/api/v1/meters/hall/history?since=yesterday", 400, "since must be"},
        {"/api/v1/meters/hall/history?until=1e9", 400, "until must be"},
        {"/api/v1/meters/hall/history?since=200&until=100", 400, "since must come before until"},
        {"/api/v1/meters/hall/history?since=100&until=100", 400, "since must come before until"},
        {"/api/v1/meters/hall/history?points=0", 400, "points must be"},
        {"/api/v1/meters/hall/history?points=10001", 400, "points must be"},
        {"/api/v1/meters/hall/history?points=-5", 400, "points must be"},
        {"/api/v1/meters/hall/history?points=", 400, "points must be"},
        {"/api/v1/meters/hall/history?step=60", 400, "unknown parameter step"},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.path);
        answer = client.Get(r.path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, r.status);
        EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json");
        EXPECT_NE(parsed(answer->body)["error"].asString().find(r.says), std::string::npos) << answer->body;
    }
}

TEST_F(SitePagesTest, WithoutHistoryOrChartJsThePagesSaySo) {
    httplib::Client client = serve(false, "missing.js");
    auto answer = client.Get("/api/v1/meters/hall/history");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 404);
    EXPECT_EQ(parsed(answer->body)["error"].asString(), "this site keeps no history");
    answer = client.Get("/static/chart.js");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 404);
    EXPECT_NE(answer->body.find("libjs-chart.js"), std::string::npos);
    EXPECT_EQ(client.Get("/")->status, 200);
}

TEST(HttpServer, StopsWhenDestroyedRightAfterItsStart) {
    for (int n = 0; n < 50; ++n) {
        HttpServer server("127.0.0.1:" + std::to_string(testing_support::free_loopback_port()), "the page");
        server.start();
    }
}

TEST(HttpServer, AnAddressInUseIsRefusedWithItsReason) {
    const int port = testing_support::free_loopback_port();
    HttpServer first("127.0.0.1:" + std::to_string(port), "the page");
    try {
        HttpServer second("127.0.0.1:" + std::to_string(port), "metrics");
        FAIL() << "bound twice";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot serve metrics on 127.0.0.1:" + std::to_string(port) +
                                             ": Address already in use");
    }
}

namespace {

// The status line and the Allow header of the answer to `request`, sent as
// it is on a connection of its own.
std::pair<std::string, std::string> answer_to(int port, const std::string& request) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    timeval wait{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string got;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    }
    close(s);
    const std::string status = got.substr(0, got.find("\r\n"));
    const auto allow = got.find("\r\nAllow: ");
    return {status, allow == std::string::npos ? "" : got.substr(allow + 9, got.find("\r\n", allow + 2) - allow - 9)};
}

}  // namespace

TEST(HttpServer, AnswersGetAndHeadOnlyAndOnlyForItself) {
    const int port = testing_support::free_loopback_port();
    HttpServer server("127.0.0.1:" + std::to_string(port), "the page", {"cabinet.example"});
    server.routes().Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("page", "text/plain");
    });
    server.start();
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const auto ask = [&](const std::string& method, const std::string& host) {
        return answer_to(port, method + " / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    };
    // Bound and listening since its construction: a request waits in the backlog until it answers.
    const struct {
        const char* method;
        std::string host;
        const char* status;
        const char* allow;
    } cases[] = {
        {"GET", self, "HTTP/1.1 200 OK", ""},
        {"HEAD", self, "HTTP/1.1 200 OK", ""},
        {"GET", "localhost:" + std::to_string(port), "HTTP/1.1 200 OK", ""},
        {"GET", "LOCALHOST", "HTTP/1.1 200 OK", ""},
        {"GET", "cabinet.example:8080", "HTTP/1.1 200 OK", ""},
        // A name rebound to 127.0.0.1 by a page in a local browser.
        {"GET", "attacker.example:" + std::to_string(port), "HTTP/1.1 421 Misdirected Request", ""},
        {"GET", "127.0.0.2", "HTTP/1.1 421 Misdirected Request", ""},
        {"POST", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"PUT", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"PATCH", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"DELETE", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"OPTIONS", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"TRACE", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
        {"CONNECT", self, "HTTP/1.1 405 Method Not Allowed", "GET, HEAD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " for " + c.host);
        const auto [status, allow] = ask(c.method, c.host);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(allow, c.allow);
    }
}

TEST_F(SitePagesTest, TheReportApiAnswersAsTheCommandDoesAndRefusesWhatItCannotAnswer) {
    httplib::Client client = serve();
    // Every period from two hours ago to now: the rounds' whole rise, priced.
    const std::string since = std::to_string(std::time(nullptr) - 3 * 3600);
    const std::string until = std::to_string(std::time(nullptr) + 60);
    const auto answer = client.Get("/api/v1/report?period=hour&since=" + since + "&until=" + until);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    const Json::Value rows = parsed(answer->body);
    double hall = 0, group = 0, cost = 0;
    for (const Json::Value& row : rows) {
        if (row.isMember("meter")) {
            EXPECT_EQ(row["meter"].asString(), "hall");
            EXPECT_EQ(row["circuit_names"][17].asString(), "lamp");
            hall += row["energy_kWh"][0].asDouble();
            cost += row["cost"].asDouble();
            EXPECT_EQ(row["currency"].asString(), "EUR");
        } else {
            EXPECT_EQ(row["group"].asString(), "Hall lights");
            group += row["energy_kWh"].asDouble();
        }
    }
    EXPECT_NEAR(hall, 119.0, 1e-6);
    EXPECT_NEAR(group, 119.0, 1e-6);
    EXPECT_NEAR(cost, 119.0 * 0.25, 1e-5);

    const auto csv = client.Get("/api/v1/report?period=year&meter=hall&format=csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
    EXPECT_NE(csv->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
    EXPECT_EQ(csv->body.rfind("start_date,start_time,", 0), 0u);

    const struct {
        const char* path;
        int status;
        const char* says;
    } cases[] = {
        {"/api/v1/report?period=fortnight", 400, "period must be hour, day, week, month or year"},
        {"/api/v1/report?meter=attic", 404, "no meter named attic; the meters are hall"},
        {"/api/v1/report?group=Flat", 404, "no group named Flat; the groups are Hall lights"},
        {"/api/v1/report?since=soon", 400, "since must be YYYY-MM-DD"},
        {"/api/v1/report?since=999999999999", 400, "since must be YYYY-MM-DD"},
        {"/api/v1/report?since=2026-02-30", 400, "since must be YYYY-MM-DD"},
        {"/api/v1/report?since=2026-01-02&until=2026-01-01", 400, "since must come before until"},
        {"/api/v1/report?period=hour&since=2000-01-01&until=2026-01-01", 400, "more than 10000 periods"},
        {"/api/v1/report?colour=red", 400, "unknown parameter colour"},
        {"/api/v1/report?format=xml", 400, "format must be json or csv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto refused = client.Get(c.path);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, c.status);
        EXPECT_NE(parsed(refused->body)["error"].asString().find(c.says), std::string::npos) << refused->body;
    }
    const auto page = client.Get("/report");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("/static/report.js"), std::string::npos);
}
