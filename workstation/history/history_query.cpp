#include "history_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "history.h"
#include "sqlite_statement.h"

namespace pondrel {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Local time "YYYY-MM-DDTHH:MM:SS" read without allocating; false when it is not one.
bool parse_saved_at(const unsigned char* text, int size, boost::posix_time::ptime& at) {
    if (text == nullptr || size != 19) return false;
    int v[6];
    const int starts[6] = {0, 5, 8, 11, 14, 17}, widths[6] = {4, 2, 2, 2, 2, 2};
    for (int f = 0; f < 6; ++f) {
        v[f] = 0;
        for (int i = 0; i < widths[f]; ++i) {
            const unsigned char c = text[starts[f] + i];
            if (c < '0' || c > '9') return false;
            v[f] = v[f] * 10 + (c - '0');
        }
    }
    try {
        at = boost::posix_time::ptime(boost::gregorian::date(v[0], v[1], v[2]),
                                      boost::posix_time::time_duration(v[3], v[4], v[5]));
    } catch (const std::exception&) {
        return false;
    }
    return v[3] < 24 && v[4] < 60 && v[5] < 60;
}

}  // namespace

HistoryQuery::HistoryQuery(std::string path) : path_(std::move(path)) {
    if (sqlite3_open_v2((file_uri(path_) + "?mode=ro").c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot read history " + path_ + ": " + reason);
    }
    sqlite3_busy_timeout(db_, History::kRoundBusyMs);
}

HistoryQuery::~HistoryQuery() { sqlite3_close(db_); }

void HistoryQuery::failure() const {
    throw std::runtime_error("cannot read history " + path_ + ": " + sqlite3_errmsg(db_));
}

HistoryQuery::Answer HistoryQuery::series(std::int64_t data_id, const std::string& meter, std::int64_t since,
                                          std::int64_t until, int points) {
    if (until <= since || points < 1) throw std::invalid_argument("an empty range");
    Answer answer;
    std::int64_t width = (until - since + points - 1) / points;
    answer.from_minutes = width >= 60;
    if (answer.from_minutes) {
        // Whole minutes, the range widened to them.
        since = floor_div(since, 60) * 60;
        until = floor_div(until + 59, 60) * 60;
        width = ((until - since + points - 1) / points + 59) / 60 * 60;
    }
    answer.since = since;
    answer.until = until;
    answer.bucket_s = width;
    const std::int64_t count = (until - since + width - 1) / width;
    std::vector<MinuteTotals> totals(static_cast<std::size_t>(count));

    const std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);  // one snapshot for both reads
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{db_};
    if (answer.from_minutes) {
        const Statement minutes = prepared(db_,
                                           "SELECT minute, rounds, first_row, last_row, voltage_min, voltage_max,"
                                           " voltage_sum, circuits FROM minutes"
                                           " WHERE data_id = ? AND meter = ? AND minute >= ? AND minute < ?");
        sqlite3_stmt* raw = minutes.get();
        if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
            sqlite3_bind_int64(raw, 3, since / 60) != SQLITE_OK || sqlite3_bind_int64(raw, 4, until / 60) != SQLITE_OK) {
            failure();
        }
        int step;
        MinuteTotals minute;
        while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
            minute.minute = sqlite3_column_int64(raw, 0);
            if (!read_minute(raw, 1, minute)) continue;
            totals[static_cast<std::size_t>((minute.minute * 60 - since) / width)].merge(minute);
        }
        if (step != SQLITE_DONE) failure();
    } else {
        // The rows between the first and the last the range's minutes hold.
        const Statement span = prepared(db_,
                                        "SELECT min(first_row), max(last_row) FROM minutes"
                                        " WHERE data_id = ? AND meter = ? AND minute >= ? AND minute <= ?");
        sqlite3_stmt* raw = span.get();
        if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
            sqlite3_bind_int64(raw, 3, floor_div(since, 60)) != SQLITE_OK ||
            sqlite3_bind_int64(raw, 4, floor_div(until - 1, 60)) != SQLITE_OK || sqlite3_step(raw) != SQLITE_ROW) {
            failure();
        }
        if (sqlite3_column_type(raw, 0) == SQLITE_NULL) return answer;
        const std::int64_t first = sqlite3_column_int64(raw, 0), last = sqlite3_column_int64(raw, 1);
        const Statement rows = prepared(db_,
                                        "SELECT id, saved_at, utc_offset, record FROM history"
                                        " WHERE data_id = ? AND id >= ? AND id <= ? AND coalesce(meter, '') = ?");
        sqlite3_stmt* row = rows.get();
        if (row == nullptr || sqlite3_bind_int64(row, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_int64(row, 2, first) != SQLITE_OK || sqlite3_bind_int64(row, 3, last) != SQLITE_OK ||
            sqlite3_bind_text(row, 4, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK) {
            failure();
        }
        int step;
        std::vector<unsigned char> record;
        while ((step = sqlite3_step(row)) == SQLITE_ROW) {
            boost::posix_time::ptime saved_at;
            if (!parse_saved_at(sqlite3_column_text(row, 1), sqlite3_column_bytes(row, 1), saved_at)) continue;
            const int offset = sqlite3_column_type(row, 2) == SQLITE_INTEGER ? sqlite3_column_int(row, 2)
                                                                            : utc_offset_at(saved_at);
            const std::int64_t at = unix_time_of(saved_at, offset);
            if (at < since || at >= until) continue;
            const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(row, 3));
            record.assign(bytes, bytes + sqlite3_column_bytes(row, 3));
            if (const auto values = round_values(record)) {
                totals[static_cast<std::size_t>((at - since) / width)].add(*values, sqlite3_column_int64(row, 0));
            }
        }
        if (step != SQLITE_DONE) failure();
    }

    const MinuteTotals* previous = nullptr;
    for (std::size_t k = 0; k < totals.size(); ++k) {
        const MinuteTotals& t = totals[k];
        if (t.rounds == 0) continue;
        Bucket bucket;
        bucket.start = since + static_cast<std::int64_t>(k) * width;
        bucket.rounds = t.rounds;
        const double n = static_cast<double>(t.rounds);
        bucket.voltage_min = t.voltage_min;
        bucket.voltage_max = t.voltage_max;
        bucket.voltage_mean = t.voltage_sum / n;
        for (int c = 0; c < MinuteTotals::kCircuits; ++c) {
            bucket.current_mean[c] = t.current_sum[c] / n;
            bucket.power_mean[c] = t.power_sum[c] / n;
            bucket.energy_last[c] = t.energy_last[c];
            const double from = previous != nullptr ? previous->energy_last[c] : t.energy_first[c];
            bucket.energy_used += std::max(0.0, t.energy_last[c] - from);
        }
        answer.buckets.push_back(bucket);
        previous = &t;
    }
    return answer;
}

}  // namespace pondrel
