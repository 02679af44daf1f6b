// The page's figures, each beside a reference from the same run:
//   storing rounds with their per-minute totals, rounds a second, and an
//     older history given them at its first start;
//   a meter's history over 30 days, 7 days, 24 hours and an hour, polled
//     every second (2.6 million rounds for the month), at 1000 points: the
//     query alone and the whole HTTP answer, against 300 ms, and the month
//     read from its rows for reference;
//   the page of 8 meters drawn in headless Chromium (Debian's chromium),
//     from navigation to the cards filled, against 1 s, beside a page
//     without script loaded the same way.
// The month's history is made once in FOLDER (default: ./web_bench) and
// reused.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <sqlite3.h>
#include <httplib.h>

#include "history.h"
#include "history_query.h"
#include "http_server.h"
#include "live_readings.h"
#include "loopback_listener.h"
#include "pondrel_data.h"
#include "site_pages.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kMonth = 30 * 86400;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<unsigned char> a_record(std::int64_t n) {
    Pondrel_Data_t data{};
    data.voltage = 230.0f + static_cast<float>(n % 7);
    for (int c = 0; c < kPondrelCircuits; ++c) {
        data.current[c] = 0.5f * static_cast<float>(c);
        data.power[c] = 100.0f * static_cast<float>(c) + static_cast<float>(n % 50);
        data.energy[c] = 1000.0f + static_cast<float>(n) * 1e-4f;
    }
    std::vector<unsigned char> bytes(sizeof data);
    std::memcpy(bytes.data(), &data, sizeof data);
    return bytes;
}

// A month of one meter polled each second, ending now; made once.
std::int64_t month_of_rounds(const std::string& path, std::int64_t now) {
    const std::string done = path + ".complete";
    if (access(done.c_str(), F_OK) == 0) {
        std::printf("history: %s (made before)\n", path.c_str());
        return now;
    }
    std::filesystem::remove(path);
    History history(path);
    const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    std::vector<JournalEntry> batch;
    const auto start = Clock::now();
    std::int64_t stored = 0;
    for (std::int64_t t = now - kMonth; t < now; ++t) {
        JournalEntry entry;
        entry.data_id = 1;
        entry.type_code = 1;
        entry.saved_at = epoch + boost::posix_time::seconds(static_cast<long>(t));
        entry.utc_offset_s = 0;
        entry.meter = "hall";
        entry.record = a_record(t);
        batch.push_back(std::move(entry));
        if (batch.size() == 10000) {
            stored += static_cast<std::int64_t>(batch.size());
            history.append_from_journal(batch, 1, stored);
            batch.clear();
        }
    }
    stored += static_cast<std::int64_t>(batch.size());
    history.append_from_journal(batch, 1, stored);
    const double seconds = ms_since(start) / 1000;
    std::printf("history: %lld rounds stored with their minutes in %.1f s: %.0f rounds/s\n",
                static_cast<long long>(stored), seconds, static_cast<double>(stored) / seconds);
    std::FILE* mark = std::fopen(done.c_str(), "w");
    if (mark != nullptr) std::fclose(mark);
    return now;
}

// Storing rounds with their minutes, and an older history given its minutes
// at its first start, each for 250,000 rounds.
void store_and_migrate(const std::string& folder) {
    const std::string path = folder + "/store.db";
    std::filesystem::remove(path);
    const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    constexpr std::int64_t kRounds = 250000;
    {
        History history(path);
        std::vector<JournalEntry> batch;
        const auto start = Clock::now();
        for (std::int64_t t = 0; t < kRounds; ++t) {
            JournalEntry entry;
            entry.data_id = 1;
            entry.type_code = 1;
            entry.saved_at = epoch + boost::posix_time::seconds(static_cast<long>(1.7e9 + t));
            entry.meter = "hall";
            entry.record = a_record(t);
            batch.push_back(std::move(entry));
            if (batch.size() == 1000) {
                history.append_from_journal(batch, 1, t + 1);
                batch.clear();
            }
        }
        const double seconds = ms_since(start) / 1000;
        std::printf("stored %lld rounds with their minutes, 1000 a transaction: %.0f rounds/s\n",
                    static_cast<long long>(kRounds), kRounds / seconds);
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "DROP TABLE minutes; PRAGMA user_version=2", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const auto start = Clock::now();
    { History history(path); }
    const double seconds = ms_since(start) / 1000;
    std::printf("a schema 2 history of %lld rounds given its minutes at its first start: %.2f s (%.0f rounds/s)\n",
                static_cast<long long>(kRounds), seconds, kRounds / seconds);
    std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string folder = argc > 1 ? argv[1] : "web_bench";
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/month.db";
    // Stored as UTC with offset 0; the month ends at the day this history was made.
    const std::int64_t made = std::time(nullptr) / 86400 * 86400;
    store_and_migrate(folder);
    month_of_rounds(path, made);
    const std::int64_t end = [&] {
        HistoryQuery probe(path);
        // The newest stored day: whatever day the history was made on.
        for (std::int64_t day = made; day > made - 400 * 86400; day -= 86400) {
            if (!probe.series(1, "hall", day - 60, day, 1).buckets.empty()) return day;
        }
        return made;
    }();

    auto live = std::make_shared<LiveReadings>();
    std::vector<MeterIdentity> meters;
    for (int m = 1; m <= 8; ++m) meters.push_back({"meter-" + std::to_string(m), "bus", m, static_cast<std::uint32_t>(m), "meter-" + std::to_string(m)});
    meters[0] = {"hall", "bus", 1, 1, "hall"};
    live->set_site(meters, std::vector<double>(8, 1.0));
    for (const MeterIdentity& meter : meters) {
        CompletedRound round;
        round.meter = &meter;
        round.saved_at = boost::posix_time::second_clock::local_time();
        round.record = a_record(meter.slave);
        live->write(round);
    }
    const int port = testing_support::free_loopback_port();
    HttpServer server("127.0.0.1:" + std::to_string(port), "the page");
    serve_pages(server.routes(), {live, path, kInstalledChartJs});

    // The page drawn in Chromium: a wrapper holds the page in a frame and
    // reports the frame's time to its cards, while an image it loads holds
    // its load event (when Chromium dumps the DOM) until then.
    std::mutex mutex;
    std::condition_variable reported;
    std::vector<double> drawn;
    server.routes().Get("/bench", [](const httplib::Request& request, httplib::Response& response) {
        const std::string page = request.get_param_value("page");
        response.set_content(
            "<!doctype html><html><body><iframe id=f src=\"" + page +
                "\" width=1280 height=900></iframe><img src=\"/hold\" alt=\"\">"
                "<script>const f=document.getElementById('f');(function look(){"
                "const d=f.contentDocument;"
                "if(d&&d.body&&(d.body.dataset.ready==='1'||d.body.dataset.plain==='1')){"
                "fetch('/done?ms='+f.contentWindow.performance.now());return;}"
                "setTimeout(look,2);})();</script></body></html>",
            "text/html");
    });
    server.routes().Get("/plain", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<!doctype html><html><head><link rel=stylesheet href=\"/static/pondrel.css\"></head>"
                             "<body data-plain=1><h1>Meters</h1></body></html>",
                             "text/html");
    });
    std::atomic<int> reports{0};
    server.routes().Get("/done", [&](const httplib::Request& request, httplib::Response& response) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            drawn.push_back(std::stod(request.get_param_value("ms")));
            ++reports;
        }
        reported.notify_all();
        response.set_content("", "text/plain");
    });
    server.routes().Get("/hold", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock<std::mutex> lock(mutex);
        const int before = reports;
        reported.wait_for(lock, std::chrono::seconds(20), [&] { return reports > before; });
        response.set_content("", "image/gif");
    });
    server.start();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);
    for (int tries = 0; tries < 100 && !client.Get("/api/v1/meters"); ++tries) usleep(10000);

    std::printf("\n%-22s %12s %14s %8s %8s\n", "range (1000 points)", "query ms", "HTTP answer ms", "buckets", "source");
    const struct {
        const char* name;
        std::int64_t span;
    } ranges[] = {{"30 days", kMonth}, {"7 days", 7 * 86400}, {"24 hours", 86400}, {"1 hour", 3600}};
    HistoryQuery query(path);
    for (const auto& range : ranges) {
        std::vector<double> alone, whole;
        HistoryQuery::Answer answer;
        for (int run = 0; run < 7; ++run) {
            auto start = Clock::now();
            answer = query.series(1, "hall", end - range.span, end, 1000);
            alone.push_back(ms_since(start));
            start = Clock::now();
            const auto got = client.Get("/api/v1/meters/hall/history?since=" + std::to_string(end - range.span) +
                                        "&until=" + std::to_string(end) + "&points=1000");
            whole.push_back(ms_since(start));
            if (!got || got->status != 200) {
                std::printf("the history API failed\n");
                return 1;
            }
        }
        std::printf("%-22s %12.1f %14.1f %8zu %8s\n", range.name, median(alone), median(whole), answer.buckets.size(),
                    answer.from_minutes ? "minutes" : "rounds");
    }
    {
        // The reference: the month read from its rows, as it would be without the minutes.
        const auto start = Clock::now();
        const auto answer = query.series(1, "hall", end - kMonth, end, 50000);
        std::printf("%-22s %12.1f %14s %8zu %8s\n", "30 days from the rows", ms_since(start), "-",
                    answer.buckets.size(), answer.from_minutes ? "minutes" : "rounds");
    }

    std::printf("\n");
    const std::string profile = folder + "/chromium-profile";
    for (const char* page : {"/plain", "/"}) {
        drawn.clear();
        std::vector<double> outside;
        for (int run = 0; run < 5; ++run) {
            const std::string command = "chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --user-data-dir=" + profile +
                                        " --dump-dom 'http://127.0.0.1:" + std::to_string(port) + "/bench?page=" +
                                        page + "' > /dev/null 2>&1";
            const auto start = Clock::now();
            if (std::system(command.c_str()) != 0) {
                std::printf("chromium failed\n");
                return 1;
            }
            outside.push_back(ms_since(start));
        }
        if (drawn.size() < 5) {
            std::printf("the page did not report\n");
            return 1;
        }
        std::printf("%-34s drawn %7.1f ms after navigation (median of 5; Chromium's whole run %.0f ms)\n",
                    std::string(page) == "/" ? "the page of 8 meters" : "a page without script (reference)",
                    median(drawn), median(outside));
    }
    return 0;
}
