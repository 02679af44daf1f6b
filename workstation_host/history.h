// The device history of the host program: one SQLite table, one row per
// stored record (data id, record type code, local time, the record's bytes).
// Every append is its own transaction, committed and synced before it
// returns, so a crash or kill loses no completed round. A new history and its
// folders are private to their owner (0600, 0700). One thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record_store.h"

struct sqlite3;

class History : public RecordStore {
public:
    // Waits for another writer this long at start, and this long in a round.
    static constexpr int kStartBusyMs = 5000;
    static constexpr int kRoundBusyMs = 250;

    // Opens or creates the database, checks that its table has the history's
    // columns and that it can be written. Throws std::runtime_error naming
    // the file and the reason.
    explicit History(const std::string& path);
    ~History() override;
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Throws std::runtime_error when the row cannot be stored (another
    // writer holding the history longer than kRoundBusyMs, a full disk...).
    void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                const unsigned char* record, unsigned int len) override;
    // The newest record stored for `data_id`, if any.
    std::optional<std::vector<unsigned char>> newest(std::uint32_t data_id);

    const std::string& path() const { return path_; }

private:
    void execute(const char* sql);
    void check_columns();
    void check_pages();
    std::string path_;
    sqlite3* db_ = nullptr;
};
