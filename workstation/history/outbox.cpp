#include "outbox.h"

#include <stdexcept>

#include "sqlite_statement.h"

namespace pondrel {

Outbox::Outbox(const std::string& history_path, std::string destination)
    : path_(history_path), destination_(std::move(destination)) {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open history " + path_ + " as an outbox: " + reason);
    }
    // Its writes are one small row; a lost one only sends rounds again.
    sqlite3_busy_timeout(db_, 2000);
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    try {
        const Statement known = prepared(db_, "SELECT round_id FROM published WHERE destination = ?");
        if (known == nullptr ||
            sqlite3_bind_text(known.get(), 1, destination_.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK) {
            fail("read");
        }
        const int step = sqlite3_step(known.get());
        if (step == SQLITE_ROW) {
            acknowledged_ = sqlite3_column_int64(known.get(), 0);
        } else if (step == SQLITE_DONE) {
            const Statement newest = prepared(db_, "SELECT coalesce(max(id), 0) FROM history");
            if (newest == nullptr || sqlite3_step(newest.get()) != SQLITE_ROW) fail("read");
            acknowledge(sqlite3_column_int64(newest.get(), 0));
        } else {
            fail("read");
        }
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

Outbox::~Outbox() { sqlite3_close(db_); }

void Outbox::fail(const char* doing) const {
    throw std::runtime_error(std::string("cannot ") + doing + " the outbox of history " + path_ + ": " +
                             sqlite3_errmsg(db_));
}

void Outbox::acknowledge(std::int64_t round_id) {
    const Statement statement = prepared(db_,
                                         "INSERT INTO published (destination, round_id) VALUES (?1, ?2)"
                                         " ON CONFLICT (destination) DO UPDATE SET round_id = excluded.round_id");
    if (statement == nullptr ||
        sqlite3_bind_text(statement.get(), 1, destination_.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(statement.get(), 2, round_id) != SQLITE_OK || sqlite3_step(statement.get()) != SQLITE_DONE) {
        fail("write");
    }
    acknowledged_ = round_id;
}

std::vector<History::Row> Outbox::rows_after(std::int64_t after, int limit) {
    const Statement statement =
        prepared(db_, "SELECT id, data_id, type_code, saved_at, record, coalesce(meter, ''), utc_offset, saved_ms FROM history"
                      " WHERE id > ? ORDER BY id LIMIT ?");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, after) != SQLITE_OK || sqlite3_bind_int(raw, 2, limit) != SQLITE_OK) {
        fail("read");
    }
    std::vector<History::Row> rows;
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        History::Row row;
        read_row(raw, row);
        // Which meter's series: rows of a meter since removed are still its own.
        row.meter = reinterpret_cast<const char*>(sqlite3_column_text(raw, 5));
        rows.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) fail("read");
    return rows;
}

std::optional<std::vector<unsigned char>> Outbox::record_at_or_before(std::uint32_t data_id, std::int64_t round_id) {
    const Statement statement =
        prepared(db_, "SELECT record FROM history WHERE data_id = ? AND id <= ? ORDER BY id DESC LIMIT 1");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 2, round_id) != SQLITE_OK) {
        fail("read");
    }
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) fail("read");
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 0));
    return std::vector<unsigned char>(bytes, bytes + sqlite3_column_bytes(raw, 0));
}

std::int64_t Outbox::waiting() {
    const Statement statement = prepared(db_, "SELECT count(*) FROM history WHERE id > ?");
    if (statement == nullptr || sqlite3_bind_int64(statement.get(), 1, acknowledged_) != SQLITE_OK ||
        sqlite3_step(statement.get()) != SQLITE_ROW) {
        fail("read");
    }
    return sqlite3_column_int64(statement.get(), 0);
}

}  // namespace pondrel
