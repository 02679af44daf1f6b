#include "history.h"

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <memory>
#include <stdexcept>

namespace {

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

}  // namespace

History::History(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open history " + path + ": " + reason);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=FULL");
        execute(
            "CREATE TABLE IF NOT EXISTS history ("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " data_id INTEGER NOT NULL,"
            " type_code INTEGER NOT NULL,"
            " saved_at TEXT NOT NULL,"
            " record BLOB NOT NULL)");
        execute("CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, id)");
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

History::~History() { sqlite3_close(db_); }

void History::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw std::runtime_error("history " + path_ + ": " + reason);
    }
}

void History::append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at_time,
                     const unsigned char* record, unsigned int len) {
    const std::string saved_at = boost::posix_time::to_iso_extended_string(saved_at_time);
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_,
                       "INSERT INTO history (data_id, type_code, saved_at, record) VALUES (?, ?, ?, ?)",
                       -1, &raw, nullptr);
    Statement statement(raw);
    if (statement == nullptr ||
        sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_int(raw, 2, type_code) != SQLITE_OK ||
        sqlite3_bind_text(raw, 3, saved_at.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_blob(raw, 4, record, static_cast<int>(len), SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_step(raw) != SQLITE_DONE) {
        throw std::runtime_error("cannot store a record in history " + path_ + ": " +
                                 sqlite3_errmsg(db_));
    }
}

std::optional<std::vector<unsigned char>> History::newest(std::uint32_t data_id) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "SELECT record FROM history WHERE data_id = ? ORDER BY id DESC LIMIT 1",
                       -1, &raw, nullptr);
    Statement statement(raw);
    if (statement == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK) {
        throw std::runtime_error("cannot read history " + path_ + ": " + sqlite3_errmsg(db_));
    }
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) {
        throw std::runtime_error("cannot read history " + path_ + ": " + sqlite3_errmsg(db_));
    }
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 0));
    const int size = sqlite3_column_bytes(raw, 0);
    return std::vector<unsigned char>(bytes, bytes + size);
}
