// History's per-minute totals: each row added to its minute as it is
// stored, and an older history's rows added at its first start.
#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <optional>
#include <string>
#include <vector>

#include "history.h"
#include "sqlite_statement.h"

namespace pondrel {

// The rows stored before the history had its minutes are added to them.
void History::roll_up_rows() {
    catch_up("minutes",
             "CREATE TABLE minutes ("
             " data_id INTEGER NOT NULL,"
             " meter TEXT NOT NULL,"
             " minute INTEGER NOT NULL,"
             " rounds INTEGER NOT NULL,"
             " first_row INTEGER NOT NULL,"
             " last_row INTEGER NOT NULL,"
             " voltage_min REAL NOT NULL,"
             " voltage_max REAL NOT NULL,"
             " voltage_sum REAL NOT NULL,"
             " circuits BLOB NOT NULL,"
             " PRIMARY KEY (data_id, meter, minute)) WITHOUT ROWID",
             [this](std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                    const std::vector<unsigned char>& record, std::int64_t row) {
                 roll_up(data_id, meter, unix_s, record, row);
             });
}

bool History::has_table(const std::string& name) {
    const Statement statement = prepared(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    if (statement == nullptr ||
        sqlite3_bind_text(statement.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK) {
        sqlite_failure("read");
    }
    const int step = sqlite3_step(statement.get());
    if (step != SQLITE_ROW && step != SQLITE_DONE) sqlite_failure("read");
    return step == SQLITE_ROW;
}

// A history without table `table` gets it (`create`) with its marker
// `table`_catch_up at row 0, in one transaction. Then the rows after the one
// the marker names are given to `add` oldest first, a batch a transaction;
// the marker says where the next batch starts, so that a start cut short (a
// stop, a kill, systemd's start timeout) goes on where it stopped instead of
// starting over, and goes once every row is in.
void History::catch_up(const std::string& table, const char* create,
                       const std::function<void(std::int64_t, const std::string&, std::int64_t,
                                                const std::vector<unsigned char>&, std::int64_t)>& add) {
    const std::string marker = table + "_catch_up";
    const char* progress = marker.c_str();
    if (!has_table(table)) {
        execute("BEGIN IMMEDIATE");
        try {
            execute(create);
            execute(("CREATE TABLE " + marker + " (next_row INTEGER NOT NULL)").c_str());
            execute(("INSERT INTO " + marker + " VALUES (0)").c_str());
            execute("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    if (!has_table(marker)) return;
    constexpr int kBatch = 100000;
    for (;;) {
        if (give_up_ && give_up_()) fail("was left before its totals were complete; they go on at the next start");
        execute("BEGIN IMMEDIATE");
        try {
            const std::int64_t from =
                std::stoll(texts_of(("SELECT next_row FROM " + std::string(progress)).c_str()).at(0));
            const Statement rows = prepared(db_, "SELECT id, data_id, saved_at, record, coalesce(meter, ''), utc_offset"
                                                 " FROM history WHERE id > ? ORDER BY id LIMIT ?");
            sqlite3_stmt* raw = rows.get();
            if (raw == nullptr || sqlite3_bind_int64(raw, 1, from) != SQLITE_OK ||
                sqlite3_bind_int(raw, 2, kBatch) != SQLITE_OK) {
                sqlite_failure("read");
            }
            int step, taken = 0;
            std::int64_t last = from;
            while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
                ++taken;
                last = sqlite3_column_int64(raw, 0);
                const unsigned char* text = sqlite3_column_text(raw, 2);
                boost::posix_time::ptime saved_at;
                try {
                    if (text != nullptr) {
                        saved_at = boost::posix_time::from_iso_extended_string(reinterpret_cast<const char*>(text));
                    }
                } catch (const std::exception&) {
                    continue;  // a time that is none: the row stays, out of the totals
                }
                if (saved_at.is_special()) continue;
                const int offset = sqlite3_column_type(raw, 5) == SQLITE_INTEGER ? sqlite3_column_int(raw, 5)
                                                                                 : utc_offset_at(saved_at);
                const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 3));
                const std::vector<unsigned char> record(bytes, bytes + sqlite3_column_bytes(raw, 3));
                add(sqlite3_column_int64(raw, 1), reinterpret_cast<const char*>(sqlite3_column_text(raw, 4)),
                    unix_time_of(saved_at, offset), record, last);
            }
            if (step != SQLITE_DONE) sqlite_failure("read");
            if (taken < kBatch) {
                execute(("DROP TABLE " + std::string(progress)).c_str());
            } else {
                execute(("UPDATE " + std::string(progress) + " SET next_row = " + std::to_string(last)).c_str());
            }
            execute("COMMIT");
            if (taken < kBatch) return;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            forget_open_minutes();
            throw;
        }
    }
}

void History::roll_up(std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                      const std::vector<unsigned char>& record, std::int64_t row) {
    const std::optional<RoundValues> values = round_values(record);
    if (!values) return;
    const std::int64_t minute = unix_s >= 0 ? unix_s / 60 : -((-unix_s + 59) / 60);
    MinuteTotals& totals = open_minutes_[{data_id, meter}];
    if (totals.rounds == 0 || totals.minute != minute) {
        totals = MinuteTotals{};
        totals.minute = minute;
        if (minute_reader_ == nullptr) {
            minute_reader_ = prepared(db_, "SELECT rounds, first_row, last_row, voltage_min, voltage_max, voltage_sum,"
                                         " circuits FROM minutes WHERE data_id = ? AND meter = ? AND minute = ?")
                               .release();
        }
        sqlite3_stmt* raw = minute_reader_;
        sqlite3_reset(raw);
        if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
            sqlite3_bind_int64(raw, 3, minute) != SQLITE_OK) {
            sqlite_failure("read");
        }
        const int step = sqlite3_step(raw);
        if (step == SQLITE_ROW) {
            if (!read_minute(raw, 0, totals)) totals.rounds = 0;  // damaged: the minute starts again
        } else if (step != SQLITE_DONE) {
            sqlite_failure("read");
        }
        sqlite3_reset(raw);
    }
    if (!totals.add(*values, row)) return;
    if (minute_writer_ == nullptr) {
        minute_writer_ = prepared(db_, "INSERT OR REPLACE INTO minutes (data_id, meter, minute, rounds, first_row,"
                                      " last_row, voltage_min, voltage_max, voltage_sum, circuits)"
                                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                            .release();
    }
    sqlite3_stmt* raw = minute_writer_;
    const std::vector<unsigned char> circuits = totals.circuits();
    sqlite3_reset(raw);
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 3, minute) != SQLITE_OK || sqlite3_bind_int64(raw, 4, totals.rounds) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 5, totals.first_row) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 6, totals.last_row) != SQLITE_OK ||
        sqlite3_bind_double(raw, 7, totals.voltage_min) != SQLITE_OK ||
        sqlite3_bind_double(raw, 8, totals.voltage_max) != SQLITE_OK ||
        sqlite3_bind_double(raw, 9, totals.voltage_sum) != SQLITE_OK ||
        sqlite3_bind_blob(raw, 10, circuits.data(), static_cast<int>(circuits.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK ||
        sqlite3_step(raw) != SQLITE_DONE) {
        sqlite3_reset(raw);
        forget_open_minutes();
        sqlite_failure("store a record in");
    }
    sqlite3_reset(raw);
}

}  // namespace pondrel
