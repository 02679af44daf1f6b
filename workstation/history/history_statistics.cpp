// History's hourly statistics: each row booked in its series' hours as it is
// stored, and an older history's rows booked at its first start.
#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <optional>
#include <string>
#include <vector>

#include "history.h"
#include "sqlite_statement.h"

namespace pondrel {

namespace {

constexpr const char* kHourColumns =
    "hour, rounds, first_row, last_row, last_s, covered_ms, voltage_min, voltage_max, voltage_sum, quarter,"
    " quarter_rounds, meter_peak_w, meter_peak_quarter, circuits";

// An hour from the columns of kHourColumns at `at`...; nothing when its
// circuits are not what they should be.
std::optional<HourStatistics> hour_from(sqlite3_stmt* statement, int at) {
    HourStatistics h;
    h.hour = sqlite3_column_int64(statement, at);
    h.rounds = sqlite3_column_int64(statement, at + 1);
    h.first_row = sqlite3_column_int64(statement, at + 2);
    h.last_row = sqlite3_column_int64(statement, at + 3);
    h.last_s = sqlite3_column_int64(statement, at + 4);
    h.covered_ms = sqlite3_column_int64(statement, at + 5);
    h.voltage_min = sqlite3_column_double(statement, at + 6);
    h.voltage_max = sqlite3_column_double(statement, at + 7);
    h.voltage_sum = sqlite3_column_double(statement, at + 8);
    h.quarter = sqlite3_column_int(statement, at + 9);
    h.quarter_rounds = sqlite3_column_int64(statement, at + 10);
    h.meter_peak_w = sqlite3_column_double(statement, at + 11);
    h.meter_peak_quarter = sqlite3_column_int(statement, at + 12);
    if (!h.set_circuits(static_cast<const unsigned char*>(sqlite3_column_blob(statement, at + 13)),
                        static_cast<std::size_t>(sqlite3_column_bytes(statement, at + 13)))) {
        return std::nullopt;
    }
    return h;
}

// One series' hours in the history, for its book.
class SeriesHours : public HourStore {
public:
    SeriesHours(std::function<std::optional<HourStatistics>(std::int64_t)> read,
                std::function<void(const HourStatistics&)> write)
        : read_(std::move(read)), write_(std::move(write)) {}
    std::optional<HourStatistics> read_hour(std::int64_t hour) override { return read_(hour); }
    void write_hour(const HourStatistics& statistics) override { write_(statistics); }

private:
    std::function<std::optional<HourStatistics>(std::int64_t)> read_;
    std::function<void(const HourStatistics&)> write_;
};

}  // namespace

void History::statistics_catch_up() {
    catch_up("hours",
             "CREATE TABLE hours ("
             " data_id INTEGER NOT NULL,"
             " meter TEXT NOT NULL,"
             " hour INTEGER NOT NULL,"
             " rounds INTEGER NOT NULL,"
             " first_row INTEGER NOT NULL,"
             " last_row INTEGER NOT NULL,"
             " last_s INTEGER NOT NULL,"
             " covered_ms INTEGER NOT NULL,"
             " voltage_min REAL NOT NULL,"
             " voltage_max REAL NOT NULL,"
             " voltage_sum REAL NOT NULL,"
             " quarter INTEGER NOT NULL,"
             " quarter_rounds INTEGER NOT NULL,"
             " meter_peak_w REAL NOT NULL,"
             " meter_peak_quarter INTEGER NOT NULL,"
             " circuits BLOB NOT NULL,"
             " PRIMARY KEY (data_id, meter, hour)) WITHOUT ROWID",
             [this](std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                    const std::vector<unsigned char>& record, std::int64_t row) {
                 book(data_id, meter, unix_s, record, row);
             });
}

std::optional<HourStatistics> History::read_hour(std::int64_t data_id, const std::string& meter, std::int64_t hour) {
    if (hour_reader_ == nullptr) {
        hour_reader_ = prepared(db_, (std::string("SELECT ") + kHourColumns +
                                      " FROM hours WHERE data_id = ? AND meter = ? AND hour = ?")
                                         .c_str())
                           .release();
    }
    sqlite3_stmt* raw = hour_reader_;
    sqlite3_reset(raw);
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 3, hour) != SQLITE_OK) {
        sqlite_failure("read");
    }
    const int step = sqlite3_step(raw);
    std::optional<HourStatistics> found;
    if (step == SQLITE_ROW) {
        found = hour_from(raw, 0);  // damaged: the hour starts again
    } else if (step != SQLITE_DONE) {
        sqlite_failure("read");
    }
    sqlite3_reset(raw);
    return found;
}

void History::write_hour(std::int64_t data_id, const std::string& meter, const HourStatistics& h) {
    if (hour_writer_ == nullptr) {
        hour_writer_ = prepared(db_, (std::string("INSERT OR REPLACE INTO hours (data_id, meter, ") + kHourColumns +
                                      ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                                         .c_str())
                           .release();
    }
    sqlite3_stmt* raw = hour_writer_;
    const std::vector<unsigned char> circuits = h.stored_circuits();
    sqlite3_reset(raw);
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 3, h.hour) != SQLITE_OK || sqlite3_bind_int64(raw, 4, h.rounds) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 5, h.first_row) != SQLITE_OK || sqlite3_bind_int64(raw, 6, h.last_row) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 7, h.last_s) != SQLITE_OK || sqlite3_bind_int64(raw, 8, h.covered_ms) != SQLITE_OK ||
        sqlite3_bind_double(raw, 9, h.voltage_min) != SQLITE_OK ||
        sqlite3_bind_double(raw, 10, h.voltage_max) != SQLITE_OK ||
        sqlite3_bind_double(raw, 11, h.voltage_sum) != SQLITE_OK || sqlite3_bind_int(raw, 12, h.quarter) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 13, h.quarter_rounds) != SQLITE_OK ||
        sqlite3_bind_double(raw, 14, h.meter_peak_w) != SQLITE_OK ||
        sqlite3_bind_int(raw, 15, h.meter_peak_quarter) != SQLITE_OK ||
        sqlite3_bind_blob(raw, 16, circuits.data(), static_cast<int>(circuits.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK ||
        sqlite3_step(raw) != SQLITE_DONE) {
        sqlite3_reset(raw);
        forget_open_minutes();
        sqlite_failure("store a record in");
    }
    sqlite3_reset(raw);
}

void History::book(std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                   const std::vector<unsigned char>& record, std::int64_t row) {
    const std::optional<RoundValues> values = round_values(record);
    if (!values) return;
    const auto key = std::make_pair(data_id, meter);
    auto found = books_.find(key);
    if (found == books_.end()) {
        // A series new to this run goes on from its newest stored hour.
        found = books_.emplace(key, StatisticsBook{}).first;
        const Statement newest = prepared(db_, (std::string("SELECT ") + kHourColumns +
                                                " FROM hours WHERE data_id = ? AND meter = ? AND rounds > 0"
                                                " ORDER BY hour DESC LIMIT 1")
                                                   .c_str());
        sqlite3_stmt* raw = newest.get();
        if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK) {
            sqlite_failure("read");
        }
        const int step = sqlite3_step(raw);
        if (step == SQLITE_ROW) {
            if (const std::optional<HourStatistics> h = hour_from(raw, 0)) {
                std::array<float, HourStatistics::kCircuits> booked{};
                for (std::size_t n = 0; n < booked.size(); ++n) booked[n] = h->circuits[n].energy_last;
                found->second.resume(h->last_s, booked);
            }
        } else if (step != SQLITE_DONE) {
            sqlite_failure("read");
        }
    }
    SeriesHours hours([&](std::int64_t hour) { return read_hour(data_id, meter, hour); },
                      [&](const HourStatistics& h) { write_hour(data_id, meter, h); });
    found->second.add(hours, unix_s, *values, row);
}

void History::prune_statistics(std::uint32_t data_id, boost::posix_time::ptime cutoff) {
    const Statement hours = prepared(db_, "DELETE FROM hours WHERE data_id = ? AND hour < ?");
    if (hours == nullptr || sqlite3_bind_int64(hours.get(), 1, data_id) != SQLITE_OK ||
        sqlite3_bind_int64(hours.get(), 2, hour_of(unix_time_of(cutoff, utc_offset_at(cutoff)))) != SQLITE_OK ||
        sqlite3_step(hours.get()) != SQLITE_DONE) {
        sqlite_failure("delete old statistics of");
    }
    forget_open_minutes();
}

bool History::statistics_complete() {
    return has_table("hours") && !has_table("hours_catch_up");
}

std::vector<std::pair<std::int64_t, std::string>> History::statistics_series() {
    std::vector<std::pair<std::int64_t, std::string>> found;
    if (!has_table("hours")) return found;
    const Statement statement = prepared(db_, "SELECT DISTINCT data_id, meter FROM hours ORDER BY data_id, meter");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr) sqlite_failure("read");
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        const unsigned char* meter = sqlite3_column_text(raw, 1);
        found.emplace_back(sqlite3_column_int64(raw, 0), meter != nullptr ? reinterpret_cast<const char*>(meter) : "");
    }
    if (step != SQLITE_DONE) sqlite_failure("read");
    return found;
}

std::optional<std::pair<std::int64_t, std::int64_t>> History::hour_span(std::int64_t data_id,
                                                                         const std::string& meter) {
    if (!has_table("hours")) return std::nullopt;
    const Statement statement = prepared(db_, "SELECT min(hour), max(hour) FROM hours WHERE data_id = ? AND meter = ?");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK || sqlite3_step(raw) != SQLITE_ROW) {
        sqlite_failure("read");
    }
    if (sqlite3_column_type(raw, 0) == SQLITE_NULL) return std::nullopt;
    return std::make_pair(sqlite3_column_int64(raw, 0), sqlite3_column_int64(raw, 1));
}

void History::for_each_hour(std::int64_t data_id, const std::string& meter, std::int64_t from, std::int64_t until,
                            const std::function<void(const HourStatistics&)>& take) {
    if (!has_table("hours")) {
        fail("has no hourly statistics yet: pondrel-host makes them when it next starts with it");
    }
    const Statement statement =
        prepared(db_, (std::string("SELECT ") + kHourColumns +
                       " FROM hours WHERE data_id = ? AND meter = ? AND hour >= ? AND hour < ? ORDER BY hour")
                          .c_str());
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 3, from) != SQLITE_OK || sqlite3_bind_int64(raw, 4, until) != SQLITE_OK) {
        sqlite_failure("read");
    }
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        if (const std::optional<HourStatistics> h = hour_from(raw, 0)) take(*h);
    }
    if (step != SQLITE_DONE) sqlite_failure("read");
}

}  // namespace pondrel
