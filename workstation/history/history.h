// The device history that pondrel-host keeps and pondrel-history reads: one
// SQLite table, one row per stored record (data id, record type code, local
// time, the record's bytes), and the outbox's table of the last row each
// destination acknowledged (see outbox.h).
// The file identifies itself (application_id 0x504E4452 "PNDR", schema
// user_version 4: each row also says which meter it came from and the UTC
// offset of its local time, table `minutes` holds each series' rounds
// summed per minute of UTC (MinuteTotals) and table `hours` its statistics
// per hour of UTC (HourStatistics), both written with the rows); a database that is neither empty nor a history
// is refused without being changed, and an older history is brought to the
// current schema in place, every row kept, when it is opened for writing. Every append is its own transaction, committed and
// synced before it returns, so a crash or kill loses no completed round. A
// new history and its folders are private to their owner (0600, 0700).
// One thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hour_statistics.h"
#include "minute_totals.h"
#include "record_store.h"
#include "round_journal.h"

struct sqlite3;
struct sqlite3_stmt;

namespace pondrel {

// The UTC offset (seconds east) of this machine's time zone at local time `local`.
int utc_offset_at(boost::posix_time::ptime local);

class History : public RecordStore {
public:
    static constexpr std::int32_t kApplicationId = 0x504E4452;  // "PNDR"
    static constexpr std::int32_t kSchemaVersion = 4;
    // Waits for another writer this long at start, and this long in a round.
    static constexpr int kStartBusyMs = 5000;
    static constexpr int kRoundBusyMs = 250;
    // The write-ahead log is moved into the history once it holds this many
    // pages, and cut back to this many bytes after.
    static constexpr int kWalPages = 64;
    static constexpr long kWalBytes = 1 << 20;

    enum class Access { ReadWrite, ReadOnly };

    // ReadWrite opens or creates the history, checks that it is sound and
    // can be written; ReadOnly opens an existing one and changes nothing,
    // leaving no file beside it (on read-only storage too). A path that
    // names anything but a regular file is refused unopened.
    // Throws std::runtime_error naming the file and the reason.
    // The start waits up to kStartBusyMs for another writer, less when
    // `give_up` says so (a stop signal); `waiting` is called once, on the
    // opening thread, when that wait begins.
    explicit History(const std::string& path, Access access = Access::ReadWrite,
                     std::function<bool()> give_up = {}, std::function<void()> waiting = {});
    ~History() override;
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Throws std::runtime_error when the row cannot be stored (another
    // writer holding the history longer than kRoundBusyMs, a full disk...).
    void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                const unsigned char* record, unsigned int len) override;
    // Stores one row as `entry` says, and adds it to its minute's totals
    // (in the caller's transaction, if any).
    void append_row(const JournalEntry& entry);
    // Stores `entries` (oldest first) in one transaction, with the count of
    // entries of journal `journal` the history now holds, `stored`.
    // Throws when they cannot be stored; then none is.
    void append_from_journal(const std::vector<JournalEntry>& entries, std::uint64_t journal, std::int64_t stored);
    // How many entries of journal `journal` the history holds.
    std::int64_t journal_stored(std::uint64_t journal);
    // Forgets the count of journal `journal`, emptied.
    void forget_journal(std::uint64_t journal);
    // Moves what the write-ahead log holds into the history and shrinks the
    // log, so that space freed on a full disk is the history's again.
    void checkpoint();
    // The newest record stored for `data_id` from `meter` (rows that name no
    // meter: "" ), if any.
    std::optional<std::vector<unsigned char>> newest(std::uint32_t data_id, const std::string& meter = "");
    // Deletes the rows of `data_id` saved before `cutoff` (local time),
    // except its newest row and any row after `keep_after`. Returns how many
    // rows went. Throws on failure.
    long prune(std::uint32_t data_id, boost::posix_time::ptime cutoff,
               std::optional<std::int64_t> keep_after = std::nullopt);
    // Deletes the minute totals of `data_id` before `cutoff` (local time),
    // which may be kept longer than the rows. Throws on failure.
    void prune_minutes(std::uint32_t data_id, boost::posix_time::ptime cutoff);
    // Deletes the hourly statistics of `data_id` of hours that ended before
    // `cutoff` (local time). Throws on failure.
    void prune_statistics(std::uint32_t data_id, boost::posix_time::ptime cutoff);

    // Calls `take` for each stored hour of the series (`data_id`, `meter`)
    // from hour `from` up to, not including, hour `until` (UTC hours, see
    // hour_of), oldest first. Throws on failure.
    // Whether every stored row is in the hourly statistics (an older
    // history's first start may have been cut short before they were).
    bool statistics_complete();
    // Each series (data id, meter) the hourly statistics hold, in that order.
    std::vector<std::pair<std::int64_t, std::string>> statistics_series();
    // The first and last hour the series has statistics of, if any.
    std::optional<std::pair<std::int64_t, std::int64_t>> hour_span(std::int64_t data_id, const std::string& meter);
    void for_each_hour(std::int64_t data_id, const std::string& meter, std::int64_t from, std::int64_t until,
                       const std::function<void(const HourStatistics&)>& take);

    struct Row {
        std::int64_t id;
        std::int64_t data_id;  // as stored: a tampered row may hold any integer
        int type_code;
        std::string saved_at;  // local time, YYYY-MM-DDTHH:MM:SS
        std::vector<unsigned char> record;
        std::string meter;                  // "" in rows stored before rows named their meter
        std::optional<int> utc_offset_s;    // none in rows stored before rows had it
        int saved_ms = 0;                   // the milliseconds of the round's time (0 in older rows)
    };
    // Calls `take` for each row, in storing order, of `data_id` and `meter`
    // (all when empty). Throws on failure.
    void for_each(std::optional<std::uint32_t> data_id, const std::function<void(const Row&)>& take,
                  const std::optional<std::string>& meter = std::nullopt);

    // One series: a data id from one meter.
    struct Device {
        std::int64_t data_id;
        std::string meter;
        std::int64_t rows;
        std::string first_saved_at;
        std::string last_saved_at;
    };
    std::vector<Device> devices();

    const std::string& path() const { return path_; }
    // Whether stored rows are booked in the hourly statistics: always, but
    // for a benchmark's reference of what storing costs without them.
    void book_statistics(bool on) { book_statistics_ = on; }
    // How long a write waits for another writer before it is refused.
    void set_busy_timeout(int ms);

private:
    void execute(const char* sql);
    // The first column of each row `sql` gives.
    std::vector<std::string> texts_of(const char* sql);
    void identify(bool& fresh);
    void check_columns();
    void check_pages();
    void migrate();
    // Fills table `minutes` from the rows already stored (a history from
    // before it had one).
    void roll_up_rows();
    // Gives the rows stored before the history had hourly statistics theirs.
    void statistics_catch_up();
    // Makes table `table` with `create` when it is missing, and gives it the
    // rows stored before it was (see history_minutes.cpp).
    void catch_up(const std::string& table, const char* create,
                  const std::function<void(std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                                           const std::vector<unsigned char>& record, std::int64_t row)>& add);
    bool has_table(const std::string& name);
    // Books history row `row` of a series in its hourly statistics.
    void book(std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
              const std::vector<unsigned char>& record, std::int64_t row);
    std::optional<HourStatistics> read_hour(std::int64_t data_id, const std::string& meter, std::int64_t hour);
    void write_hour(std::int64_t data_id, const std::string& meter, const HourStatistics& statistics);
    // Adds history row `row` of a series to its minute's totals and stores them.
    void roll_up(std::int64_t data_id, const std::string& meter, std::int64_t unix_s,
                 const std::vector<unsigned char>& record, std::int64_t row);
    // A rolled-back transaction: the totals held here are read again.
    void forget_open_minutes() {
        open_minutes_.clear();
        books_.clear();
    }
    // What a reading query selects: the identity columns, or NULLs for an older history.
    std::string selected_columns() const;
    bool has_identity_ = true;
    bool has_ms_ = true;
    bool book_statistics_ = true;
    [[noreturn]] void fail(const std::string& what);
    // Throws "cannot <doing> history <path>: <SQLite's reason>".
    [[noreturn]] void sqlite_failure(const char* doing) const;
    std::string path_;
    sqlite3* db_ = nullptr;
    std::function<bool()> give_up_;
    std::function<void()> waiting_;
    // The minute each series last added to, as stored.
    std::map<std::pair<std::int64_t, std::string>, MinuteTotals> open_minutes_;
    sqlite3_stmt* minute_reader_ = nullptr;
    sqlite3_stmt* minute_writer_ = nullptr;
    // Each series' book, as the stored hours left it.
    std::map<std::pair<std::int64_t, std::string>, StatisticsBook> books_;
    sqlite3_stmt* hour_reader_ = nullptr;
    sqlite3_stmt* hour_writer_ = nullptr;
};

}  // namespace pondrel
