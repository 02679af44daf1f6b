#include "history.h"

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>

#include "sqlite_statement.h"

namespace pondrel {

namespace {

// Makes the missing folders of `path`'s parent, each readable by its owner only.
void make_private_folders(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) return;
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path p = folder; !p.empty() && !fs::exists(p, error); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::runtime_error("cannot create the folder of history " + path + ": " + std::strerror(errno));
        }
    }
}

// A new history file is readable by its owner only (SQLite gives its journal
// files the same mode). An existing file is left as it is.
void create_private_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

// Why this user may not write `path`, as " (...)" to follow SQLite's own
// reason; "" when nothing here tells.
std::string why_not_writable(const std::string& path) {
    namespace fs = std::filesystem;
    const std::string folder = fs::absolute(path).parent_path().string();
    std::error_code error;
    if (!fs::is_directory(folder, error)) return " (its folder " + folder + " does not exist)";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return " (its folder " + folder + " is read-only for this user; SQLite writes its journal files there)";
    }
    if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0) {
        return " (the file is read-only for this user)";
    }
    return "";
}

// How a reader opens the history: read-only, and as an unchanging file
// (no lock files, nothing written) when no writer's log is beside it or the
// folder cannot be written, so that reading leaves nothing behind.
std::string reading_uri(const std::string& path) {
    namespace fs = std::filesystem;
    const std::string uri = file_uri(path);
    const std::string folder = fs::absolute(path).parent_path().string();
    const bool writer_log = ::access((path + "-wal").c_str(), F_OK) == 0;
    const bool folder_writable = ::access(folder.c_str(), W_OK) == 0;
    return uri + (writer_log && folder_writable ? "?mode=ro" : "?mode=ro&immutable=1");
}

}  // namespace

int utc_offset_at(boost::posix_time::ptime local) {
    std::tm fields = boost::posix_time::to_tm(local);
    fields.tm_isdst = -1;
    const std::time_t instant = std::mktime(&fields);
    if (instant == static_cast<std::time_t>(-1)) return 0;
    std::tm back{};
    localtime_r(&instant, &back);
    return static_cast<int>(back.tm_gmtoff);
}

History::History(const std::string& path, Access access, std::function<bool()> give_up,
                 std::function<void()> waiting)
    : path_(path), give_up_(std::move(give_up)), waiting_(std::move(waiting)) {
    const bool writing = access == Access::ReadWrite;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        throw std::runtime_error("history " + path + " is not a regular file");
    }
    if (!writing && ::access(path.c_str(), F_OK) != 0) {
        throw std::runtime_error("cannot open history " + path + ": " + std::strerror(errno));
    }
    if (writing) {
        make_private_folders(path);
        create_private_file(path);
    }
    const int flags = writing ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    const std::string name = writing ? path : reading_uri(path);
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open history " + path + ": " + reason + (writing ? why_not_writable(path) : ""));
    }
    // Start-up may wait for another writer, until a stop; a round may not.
    sqlite3_busy_handler(
        db_,
        [](void* self, int tries) {
            History& history = *static_cast<History*>(self);
            if (tries == 0 && history.waiting_) {
                history.waiting_();
                history.waiting_ = nullptr;
            }
            if (tries * 10 >= kStartBusyMs || (history.give_up_ && history.give_up_())) return 0;
            sqlite3_sleep(10);
            return 1;
        },
        this);
    try {
        // Nothing is written before the file is known to be a sound history.
        bool fresh = false;
        identify(fresh);
        if (fresh && !writing) fail("is empty: no history has been stored in it");
        check_pages();
        if (writing) {
            execute("PRAGMA journal_mode=WAL");
            execute("PRAGMA synchronous=FULL");
            // The write-ahead log stays small, so that a small or nearly full
            // disk holds it: moved into the history every kWalPages pages and
            // cut back to kWalBytes after; what a run on a full disk left in
            // it goes back now.
            execute(("PRAGMA wal_autocheckpoint=" + std::to_string(kWalPages)).c_str());
            execute(("PRAGMA journal_size_limit=" + std::to_string(kWalBytes)).c_str());
            checkpoint();
            execute(
                "CREATE TABLE IF NOT EXISTS history ("
                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                " data_id INTEGER NOT NULL,"
                " type_code INTEGER NOT NULL,"
                " saved_at TEXT NOT NULL,"
                " record BLOB NOT NULL,"
                " meter TEXT,"
                " utc_offset INTEGER,"
                " saved_ms INTEGER)");
            migrate();
            roll_up_rows();
            statistics_catch_up();
            execute("CREATE INDEX IF NOT EXISTS history_by_device ON history(data_id, id)");
            execute(
                "CREATE TABLE IF NOT EXISTS published ("
                " destination TEXT PRIMARY KEY,"
                " round_id INTEGER NOT NULL)");
            execute(
                "CREATE TABLE IF NOT EXISTS journal_stored ("
                " journal INTEGER PRIMARY KEY,"
                " entries INTEGER NOT NULL)");
            // Marked as a history of this schema, written only when it is not yet.
            if (std::stol(texts_of("PRAGMA application_id").at(0)) != kApplicationId) {
                execute(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
            }
            if (std::stol(texts_of("PRAGMA user_version").at(0)) != kSchemaVersion) {
                execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
            }
            // A history that cannot be written at all fails here, not in the first round.
            execute("BEGIN IMMEDIATE");
            execute("ROLLBACK");
        }
        const std::vector<std::string> columns = texts_of("SELECT name FROM pragma_table_info('history')");
        has_identity_ = std::find(columns.begin(), columns.end(), "meter") != columns.end() &&
                        std::find(columns.begin(), columns.end(), "utc_offset") != columns.end();
        has_ms_ = std::find(columns.begin(), columns.end(), "saved_ms") != columns.end();
    } catch (const std::runtime_error& e) {
        sqlite3_close(db_);
        if (!writing) throw;
        throw std::runtime_error(e.what() + why_not_writable(path));
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
    if (!writing) {
        // Long reads (a year's statistics) map the file instead of copying
        // it a page a call.
        execute(sizeof(void*) >= 8 ? "PRAGMA mmap_size=1073741824" : "PRAGMA mmap_size=134217728");
    }
    sqlite3_busy_timeout(db_, kRoundBusyMs);
}

// A history of schema 1 (or of before it had one) gains the columns that say
// which meter a row came from and its UTC offset; its rows stay as they were
// (no meter, no offset: read in the reader's time zone).
void History::migrate() {
    const std::vector<std::string> columns = texts_of("SELECT name FROM pragma_table_info('history')");
    const auto has = [&](const char* name) { return std::find(columns.begin(), columns.end(), name) != columns.end(); };
    if (has("meter") && has("utc_offset") && has("saved_ms")) return;
    execute("BEGIN IMMEDIATE");
    try {
        if (!has("meter")) execute("ALTER TABLE history ADD COLUMN meter TEXT");
        if (!has("utc_offset")) execute("ALTER TABLE history ADD COLUMN utc_offset INTEGER");
        if (!has("saved_ms")) execute("ALTER TABLE history ADD COLUMN saved_ms INTEGER");
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::string History::selected_columns() const {
    return has_identity_ ? std::string("id, data_id, type_code, saved_at, record, meter, utc_offset, ") +
                               (has_ms_ ? "saved_ms" : "NULL")
                         : "id, data_id, type_code, saved_at, record, NULL, NULL, NULL";
}

void History::fail(const std::string& what) { throw std::runtime_error("history " + path_ + " " + what); }

void History::sqlite_failure(const char* doing) const {
    throw std::runtime_error(std::string("cannot ") + doing + " history " + path_ + ": " + sqlite3_errmsg(db_));
}

std::vector<std::string> History::texts_of(const char* sql) {
    const Statement statement = prepared(db_, sql);
    if (statement == nullptr) sqlite_failure("read");
    std::vector<std::string> texts;
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const unsigned char* value = sqlite3_column_text(statement.get(), 0);
        texts.emplace_back(value != nullptr ? reinterpret_cast<const char*>(value) : "");
    }
    if (step != SQLITE_DONE) sqlite_failure("read");
    return texts;
}

// Ours (by its application id, or a history of this program from before it
// had one), or an empty database (`fresh`); anything else is refused.
void History::identify(bool& fresh) {
    const long application = std::stol(texts_of("PRAGMA application_id").at(0));
    const long version = std::stol(texts_of("PRAGMA user_version").at(0));
    const std::vector<std::string> tables =
        texts_of("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name");
    fresh = application == 0 && tables.empty();
    if (fresh) return;
    if (application == kApplicationId) {
        if (version > kSchemaVersion) {
            fail("was written by a newer program (schema " + std::to_string(version) + ")");
        }
        check_columns();
        return;
    }
    const auto known = [](const std::string& table) {
        return table == "history" || table == "published" || table == "journal_stored" || table == "minutes" ||
               table == "minutes_catch_up" || table == "hours" || table == "hours_catch_up";
    };
    if (application == 0 && version == 0 && std::find(tables.begin(), tables.end(), "history") != tables.end() &&
        std::all_of(tables.begin(), tables.end(), known)) {
        check_columns();  // an earlier history of this program
        return;
    }
    std::string names;
    for (const std::string& table : tables) names += (names.empty() ? "" : ", ") + table;
    char id[16];
    std::snprintf(id, sizeof id, "0x%08lX", static_cast<unsigned long>(application) & 0xFFFFFFFFul);
    fail("is not a pondrel history (application id " + std::string(id) + ", tables " +
         (names.empty() ? "none" : names) + "); not touching it");
}

void History::check_pages() {
    const std::vector<std::string> verdicts = texts_of("PRAGMA quick_check(1)");
    if (verdicts.empty()) sqlite_failure("read");
    std::string verdict = verdicts[0];
    if (verdict == "ok") return;
    const std::string preamble = "*** in database main ***\n";
    if (verdict.compare(0, preamble.size(), preamble) == 0) verdict.erase(0, preamble.size());
    std::replace(verdict.begin(), verdict.end(), '\n', ' ');
    throw std::runtime_error("history " + path_ + " is damaged: " + verdict);
}

void History::check_columns() {
    const std::vector<std::string> columns = texts_of("SELECT name FROM pragma_table_info('history')");
    if (columns.empty()) return;  // no table yet
    for (const char* wanted : {"id", "data_id", "type_code", "saved_at", "record"}) {
        if (std::find(columns.begin(), columns.end(), wanted) == columns.end()) {
            fail("is not a pondrel history: its table history has no column " + std::string(wanted));
        }
    }
}

History::~History() {
    sqlite3_finalize(minute_reader_);
    sqlite3_finalize(minute_writer_);
    sqlite3_finalize(hour_reader_);
    sqlite3_finalize(hour_writer_);
    sqlite3_close(db_);
}

void History::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw std::runtime_error("history " + path_ + ": " + reason);
    }
}

void History::append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                     const unsigned char* record, unsigned int len) {
    JournalEntry entry;
    entry.data_id = data_id;
    entry.type_code = type_code;
    entry.saved_at = saved_at;
    entry.utc_offset_s = utc_offset_at(saved_at);
    entry.record.assign(record, record + len);
    execute("BEGIN IMMEDIATE");
    try {
        append_row(entry);
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        forget_open_minutes();
        throw;
    }
}

void History::append_row(const JournalEntry& entry) {
    // The text keeps whole seconds, as readers take it; the milliseconds go beside it.
    const boost::posix_time::time_duration within = entry.saved_at.is_special()
                                                        ? boost::posix_time::time_duration()
                                                        : entry.saved_at.time_of_day();
    const int saved_ms = static_cast<int>(within.fractional_seconds() /
                                          (boost::posix_time::time_duration::ticks_per_second() / 1000));
    const boost::posix_time::ptime whole =
        entry.saved_at.is_special()
            ? entry.saved_at
            : boost::posix_time::ptime(entry.saved_at.date(),
                                       boost::posix_time::seconds(within.total_seconds()));
    const std::string saved_at = boost::posix_time::to_iso_extended_string(whole);
    const Statement statement = prepared(
        db_, "INSERT INTO history (data_id, type_code, saved_at, record, meter, utc_offset, saved_ms)"
             " VALUES (?, ?, ?, ?, ?, ?, ?)");
    sqlite3_stmt* raw = statement.get();
    const bool named = !entry.meter.empty();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, entry.data_id) != SQLITE_OK ||
        sqlite3_bind_int(raw, 2, entry.type_code) != SQLITE_OK ||
        sqlite3_bind_text(raw, 3, saved_at.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_blob(raw, 4, entry.record.data(), static_cast<int>(entry.record.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK ||
        (named ? sqlite3_bind_text(raw, 5, entry.meter.c_str(), -1, SQLITE_TRANSIENT) : sqlite3_bind_null(raw, 5)) !=
            SQLITE_OK ||
        sqlite3_bind_int(raw, 6, entry.utc_offset_s) != SQLITE_OK || sqlite3_bind_int(raw, 7, saved_ms) != SQLITE_OK ||
        sqlite3_step(raw) != SQLITE_DONE) {
        sqlite_failure("store a record in");
    }
    const std::int64_t row = sqlite3_last_insert_rowid(db_);
    const std::int64_t unix_s = unix_time_of(entry.saved_at, entry.utc_offset_s);
    roll_up(entry.data_id, entry.meter, unix_s, entry.record, row);
    if (book_statistics_) book(entry.data_id, entry.meter, unix_s, entry.record, row);
}

void History::append_from_journal(const std::vector<JournalEntry>& entries, std::uint64_t journal,
                                  std::int64_t stored) {
    execute("BEGIN IMMEDIATE");
    try {
        for (const JournalEntry& entry : entries) append_row(entry);
        const Statement statement = prepared(db_, "INSERT OR REPLACE INTO journal_stored (journal, entries) VALUES (?, ?)");
        sqlite3_stmt* raw = statement.get();
        if (raw == nullptr || sqlite3_bind_int64(raw, 1, static_cast<sqlite3_int64>(journal)) != SQLITE_OK ||
            sqlite3_bind_int64(raw, 2, stored) != SQLITE_OK || sqlite3_step(raw) != SQLITE_DONE) {
            sqlite_failure("store a record in");
        }
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        forget_open_minutes();
        throw;
    }
}

std::int64_t History::journal_stored(std::uint64_t journal) {
    const Statement statement = prepared(db_, "SELECT entries FROM journal_stored WHERE journal = ?");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, static_cast<sqlite3_int64>(journal)) != SQLITE_OK) {
        sqlite_failure("read");
    }
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE) return 0;
    if (step != SQLITE_ROW) sqlite_failure("read");
    return sqlite3_column_int64(raw, 0);
}

void History::forget_journal(std::uint64_t journal) {
    execute(("DELETE FROM journal_stored WHERE journal = " + std::to_string(static_cast<sqlite3_int64>(journal))).c_str());
}

void History::checkpoint() { sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr); }

std::optional<std::vector<unsigned char>> History::newest(std::uint32_t data_id, const std::string& meter) {
    const Statement statement = prepared(
        db_, has_identity_ ? "SELECT record FROM history WHERE data_id = ? AND meter IS ? ORDER BY id DESC LIMIT 1"
                           : "SELECT record FROM history WHERE data_id = ? AND ? IS NULL ORDER BY id DESC LIMIT 1");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        (meter.empty() ? sqlite3_bind_null(raw, 2) : sqlite3_bind_text(raw, 2, meter.c_str(), -1, SQLITE_TRANSIENT)) !=
            SQLITE_OK) {
        sqlite_failure("read");
    }
    const int step = sqlite3_step(raw);
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) sqlite_failure("read");
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 0));
    const int size = sqlite3_column_bytes(raw, 0);
    return std::vector<unsigned char>(bytes, bytes + size);
}

long History::prune(std::uint32_t data_id, boost::posix_time::ptime cutoff, std::optional<std::int64_t> keep_after) {
    const Statement statement = prepared(db_,
                                         "DELETE FROM history WHERE data_id = ?1 AND saved_at < ?2 AND id <= ?3"
                                         " AND id < (SELECT max(id) FROM history WHERE data_id = ?1)");
    sqlite3_stmt* raw = statement.get();
    const std::string before = boost::posix_time::to_iso_extended_string(cutoff);
    if (raw == nullptr || sqlite3_bind_int64(raw, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(raw, 2, before.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int64(raw, 3, keep_after.value_or(INT64_MAX)) != SQLITE_OK ||
        sqlite3_step(raw) != SQLITE_DONE) {
        sqlite_failure("delete old rows of");
    }
    return sqlite3_changes(db_);
}

void History::prune_minutes(std::uint32_t data_id, boost::posix_time::ptime cutoff) {
    const Statement minutes = prepared(db_, "DELETE FROM minutes WHERE data_id = ? AND minute < ?");
    if (minutes == nullptr || sqlite3_bind_int64(minutes.get(), 1, data_id) != SQLITE_OK ||
        sqlite3_bind_int64(minutes.get(), 2, unix_time_of(cutoff, utc_offset_at(cutoff)) / 60) != SQLITE_OK ||
        sqlite3_step(minutes.get()) != SQLITE_DONE) {
        sqlite_failure("delete old minutes of");
    }
    forget_open_minutes();
}

void History::for_each(std::optional<std::uint32_t> data_id, const std::function<void(const Row&)>& take,
                       const std::optional<std::string>& meter) {
    std::string sql = "SELECT " + selected_columns() + " FROM history WHERE 1";
    if (data_id) sql += " AND data_id = ?1";
    if (meter) sql += has_identity_ ? " AND coalesce(meter, '') = ?2" : " AND '' = ?2";
    sql += " ORDER BY id";
    const Statement statement = prepared(db_, sql.c_str());
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr || (data_id && sqlite3_bind_int64(raw, 1, *data_id) != SQLITE_OK) ||
        (meter && sqlite3_bind_text(raw, 2, meter->c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK)) {
        sqlite_failure("read");
    }
    int step;
    Row row;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        read_row(raw, row);
        take(row);
    }
    if (step != SQLITE_DONE) sqlite_failure("read");
}

std::vector<History::Device> History::devices() {
    const Statement statement =
        prepared(db_, has_identity_ ? "SELECT data_id, count(*), min(saved_at), max(saved_at), coalesce(meter, '')"
                                      " FROM history GROUP BY data_id, coalesce(meter, '') ORDER BY data_id, 5"
                                    : "SELECT data_id, count(*), min(saved_at), max(saved_at), '' FROM history"
                                      " GROUP BY data_id ORDER BY data_id");
    sqlite3_stmt* raw = statement.get();
    if (raw == nullptr) sqlite_failure("read");
    std::vector<Device> found;
    int step;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto text = [&](int column) {
            const unsigned char* value = sqlite3_column_text(raw, column);
            return value != nullptr ? std::string(reinterpret_cast<const char*>(value)) : std::string();
        };
        found.push_back({sqlite3_column_int64(raw, 0), text(4), sqlite3_column_int64(raw, 1), text(2), text(3)});
    }
    if (step != SQLITE_DONE) sqlite_failure("read");
    return found;
}

void History::set_busy_timeout(int ms) { sqlite3_busy_timeout(db_, ms); }

}  // namespace pondrel
