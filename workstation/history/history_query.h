// A series' readings over a range of time, as the page's charts want them:
// summed into at most `points` buckets of equal width, so that a month
// answers as fast as an hour. Buckets of a minute or more are read from the
// history's per-minute totals, shorter ones from its rows.
//
// Opens its own read-only connection to a history a writer keeps (schema 3
// or later) and never writes. Any thread; one query at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "minute_totals.h"

struct sqlite3;

namespace pondrel {

class HistoryQuery {
public:
    struct Bucket {
        std::int64_t start = 0;  // UTC seconds since the epoch
        std::int64_t rounds = 0;
        double voltage_min = 0, voltage_mean = 0, voltage_max = 0;
        MinuteTotals::PerCircuit current_mean{}, power_mean{};
        MinuteTotals::PerCircuit energy_last{};  // the counters at the bucket's last round, kWh
        // kWh all circuits used from the previous bucket's last round (the
        // first bucket: from its own first round) to this one's last; a
        // counter that went back counts nothing.
        double energy_used = 0;
    };
    struct Answer {
        std::int64_t since = 0;     // the range the buckets cover, UTC seconds, [since, until)
        std::int64_t until = 0;
        std::int64_t bucket_s = 1;  // each bucket's width
        bool from_minutes = false;
        std::vector<Bucket> buckets;  // only those with rounds, oldest first
    };

    // Throws std::runtime_error naming the history when it cannot be read.
    explicit HistoryQuery(std::string path);
    ~HistoryQuery();
    HistoryQuery(const HistoryQuery&) = delete;
    HistoryQuery& operator=(const HistoryQuery&) = delete;

    // The rounds of series `data_id`/`meter` stored for [since, until),
    // `since` < `until`, 1 <= `points`. Throws std::runtime_error.
    Answer series(std::int64_t data_id, const std::string& meter, std::int64_t since, std::int64_t until, int points);

private:
    [[noreturn]] void failure() const;
    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};

}  // namespace pondrel
