// The history's hourly statistics: what storing a round with them costs
// against storing it without (one run, interleaved), the size of each tier
// of the history per meter-day, and reports of 32 meters from a year of
// hourly statistics, from the library and over HTTP.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <httplib.h>

#include "energy_report.h"
#include "history.h"
#include "http_server.h"
#include "loopback_listener.h"
#include "pondrel_data.h"
#include "report_pages.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kYearStart = 1767225600;  // 2026-01-01T00:00:00Z

JournalEntry round_of(int meter, std::int64_t unix_s, std::int64_t n) {
    Pondrel_Data_t data{};
    data.voltage = 229.0f + static_cast<float>(n % 17) * 0.1f;
    for (int c = 0; c < kPondrelCircuits; ++c) {
        data.current[c] = 1.0f + static_cast<float>((n + c) % 13) * 0.25f;
        data.power[c] = 200.0f + static_cast<float>((n * 7 + c * 31) % 900);
        data.energy[c] = 1000.0f + static_cast<float>(n) * 0.0125f * static_cast<float>(c + 1);
    }
    JournalEntry entry;
    entry.data_id = static_cast<std::uint32_t>(meter + 1);
    entry.type_code = 1;
    entry.saved_at = boost::posix_time::from_time_t(unix_s);
    entry.utc_offset_s = 0;
    entry.meter = "m" + std::to_string(meter + 1);
    entry.record.resize(sizeof data);
    std::memcpy(entry.record.data(), &data, sizeof data);
    return entry;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Bytes each table (with its indexes) takes, from SQLite's own page accounting.
std::map<std::string, double> table_bytes(const std::string& path) {
    std::map<std::string, double> bytes;
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, sum(pgsize) FROM dbstat GROUP BY name", -1, &statement, nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        std::string name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        if (name == "history_by_device" || name == "sqlite_autoindex_history_1") name = "history";
        bytes[name] += sqlite3_column_double(statement, 1);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "statistics_bench";
    // With a second argument "reports", only the reports run, on the year made before.
    const bool only_reports = argc > 2 && std::string(argv[2]) == "reports";
    if (!only_reports) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }

    // Storing: a round a transaction (one meter), and 32 rounds a transaction
    // (a site of 32 meters each second), with and without the statistics,
    // turn about so that the machine's moods fall on both alike.
    if (!only_reports) {
        History history(dir + "/store.db");
        for (const int batch : {1, 32}) {
            double with_ms = 0, without_ms = 0;
            std::int64_t n = 0, rounds = 0;
            for (int turn = 0; turn < 40; ++turn) {
                for (const bool statistics : {true, false}) {
                    history.book_statistics(statistics);
                    const auto start = Clock::now();
                    for (int t = 0; t < (batch == 1 ? 25 : 4); ++t, ++n) {
                        std::vector<JournalEntry> entries;
                        for (int m = 0; m < batch; ++m) entries.push_back(round_of(m, kYearStart + n, n));
                        history.append_from_journal(entries, 1, n);
                        if (statistics) rounds += batch;
                    }
                    (statistics ? with_ms : without_ms) += ms_since(start);
                }
            }
            std::printf("storing %2d round(s) a transaction: %.3f ms a transaction with statistics, %.3f without: ratio %.3f "
                        "(%lld rounds each)\n",
                        batch, with_ms / (rounds / batch), without_ms / (rounds / batch), with_ms / without_ms,
                        static_cast<long long>(rounds));
        }
    }

    // Size of each tier per meter-day, at 1 s and at 10 s.
    for (const int every : {1, 10}) {
        if (only_reports) break;
        const std::string path = dir + "/day-" + std::to_string(every) + ".db";
        {
            History history(path);
            std::vector<JournalEntry> entries;
            for (std::int64_t t = 0; t < 86400; t += every) {
                entries.push_back(round_of(0, kYearStart + t, t / every));
                if (entries.size() == 5000) {
                    history.append_from_journal(entries, 1, t);
                    entries.clear();
                }
            }
            if (!entries.empty()) history.append_from_journal(entries, 1, 86400);
        }
        const auto bytes = table_bytes(path);
        std::printf("a meter-day at %2d s: rows %.0f B, minutes %.0f B, hours %.0f B (%.0f B an hour)\n", every,
                    bytes.count("history") ? bytes.at("history") : 0.0, bytes.count("minutes") ? bytes.at("minutes") : 0.0,
                    bytes.count("hours") ? bytes.at("hours") : 0.0, bytes.count("hours") ? bytes.at("hours") / 24 : 0.0);
    }

    // A year of hourly statistics of 32 meters (a round an hour is enough to
    // write every hour), then month and year reports.
    const std::string year = dir + "/year.db";
    if (!only_reports) {
        History history(year);
        std::vector<JournalEntry> entries;
        const auto start = Clock::now();
        for (std::int64_t h = 0; h < 365 * 24; ++h) {
            for (int m = 0; m < 32; ++m) entries.push_back(round_of(m, kYearStart + h * 3600 + 60, h));
            if (entries.size() >= 3200) {
                history.append_from_journal(entries, 1, h);
                entries.clear();
            }
        }
        if (!entries.empty()) history.append_from_journal(entries, 1, 0);
        std::printf("a year of 32 meters' hours written in %.1f s\n", ms_since(start) / 1000);
    }
    ReportSetup setup;
    for (int m = 0; m < 32; ++m) {
        setup.meters.push_back({"m" + std::to_string(m + 1), m + 1, "m" + std::to_string(m + 1),
                                std::vector<std::string>(18, "c"), ""});
    }
    for (int g = 0; g < 8; ++g) setup.groups.push_back({"g" + std::to_string(g), {{4u * g, 0}, {4u * g + 1, 5}}, ""});
    Tariff tariff{"home", "EUR", 0.3, "", {{0x1f, 7 * 60, 21 * 60, 0.4}}, 10.0};
    setup.tariffs.push_back(tariff);
    const SiteZone zone("Europe/Berlin");
    History reader(year, History::Access::ReadOnly);
    const struct {
        const char* what;
        Period period;
        std::int64_t since, until;
        const char* query;
    } asks[] = {
        {"a month by day", Period::Day, kYearStart + 181 * 86400, kYearStart + 212 * 86400,
         "period=day&since=2026-07-01&until=2026-08-01"},
        {"a month", Period::Month, kYearStart + 190 * 86400, kYearStart + 190 * 86400 + 1,
         "period=month&since=2026-07-10"},
        {"a year", Period::Year, kYearStart + 86400, kYearStart + 86400 + 1, "period=year&since=2026-01-02"},
    };
    auto settings = std::make_shared<ReportSettings>();
    settings->set({setup, "Europe/Berlin"});
    const int port = testing_support::free_loopback_port();
    HttpServer server("127.0.0.1:" + std::to_string(port), "the page");
    serve_reports(server.routes(), year, settings);
    server.start();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);
    for (const auto& ask : asks) {
        double best = 1e9, best_http = 1e9;
        std::size_t rows = 0, bytes = 0;
        for (int run = 0; run < 5; ++run) {
            const auto start = Clock::now();
            const auto report = make_report(reader, setup, zone, {ask.period, ask.since, ask.until, {}, {}});
            const std::string json = report_json(report, zone);
            best = std::min(best, ms_since(start));
            rows = report.size();
            const auto http_start = Clock::now();
            const auto answer = client.Get(std::string("/api/v1/report?") + ask.query);
            best_http = std::min(best_http, ms_since(http_start));
            bytes = answer ? answer->body.size() : 0;
        }
        std::printf("report of 32 meters and 8 groups, %-14s: %7.1f ms (library), %7.1f ms (HTTP), %zu rows, %zu bytes\n",
                    ask.what, best, best_http, rows, bytes);
    }

    return 0;
}
