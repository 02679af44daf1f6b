// The rounds not yet in the history, in an append-only file beside it
// (HISTORY.journal), so that a kill while the history refuses writes loses
// none: an entry is in the file (the kernel's) when append() returns, and on
// the disk after sync(). Each entry carries its CRC; a torn last entry from
// a kill is cut off when the journal is opened. The history records how many
// entries of which journal it holds (History::journal_stored), so a replay
// after a kill stores each entry once. Used by HistoryWriter: append() on a
// polling thread, the rest on its writer thread, never two at once.
// The file reserves its space ahead (`reserve_bytes`, allocated on the disk
// and zeroed beyond the last entry), so that rounds go on being journaled
// while the disk is full, until the reserve is used up; a reset empties it
// without giving the space back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

namespace pondrel {

// The largest record and meter name a journal entry (and so a round) holds.
inline constexpr std::size_t kMaxRecordBytes = 1024;
inline constexpr std::size_t kMaxMeterBytes = 255;

// One row of the history to be: what History::append_row() stores.
struct JournalEntry {
    std::uint32_t data_id = 0;
    int type_code = 0;
    boost::posix_time::ptime saved_at;  // the round's local time
    int utc_offset_s = 0;               // east of UTC, at saved_at
    std::string meter;                  // which meter: its name, or its line and slave
    std::vector<unsigned char> record;
};

class RoundJournal {
public:
    // Opens or creates `path` (0600) and reserves `reserve_bytes` for it (0:
    // none). Throws std::runtime_error naming it; a reserve the disk cannot
    // give is no failure: reserve_error() says why.
    explicit RoundJournal(std::string path, std::int64_t reserve_bytes = 0);
    ~RoundJournal();
    RoundJournal(const RoundJournal&) = delete;
    RoundJournal& operator=(const RoundJournal&) = delete;

    // What the file held when opened, oldest first.
    const std::vector<JournalEntry>& opened_with() const { return opened_with_; }
    // Which journal this is: a number drawn when the file was made.
    std::uint64_t id() const { return id_; }
    // Entries in the file.
    std::int64_t entries() const { return entries_; }
    std::int64_t bytes() const { return bytes_; }
    // The space reserved (the header included), and why none could be, if so.
    std::int64_t reserved() const { return reserved_; }
    const std::string& reserve_error() const { return reserve_error_; }
    // Appends `entry` (within the limits above, which the caller keeps) as
    // entry number entries(). Throws on failure (a full disk); the file then
    // ends where it ended before.
    void append(const JournalEntry& entry);
    // Puts what was appended on the disk.
    void sync();
    // Empties the journal under a new id, once its entries are all stored.
    void reset();
    const std::string& path() const { return path_; }

private:
    void create();
    void reserve(std::int64_t bytes);
    // Writes zeros over [from, to): what no entry holds reads as the end.
    bool zero(std::int64_t from, std::int64_t to);
    std::string path_;
    int fd_ = -1;
    std::uint64_t id_ = 0;
    std::int64_t entries_ = 0;
    std::int64_t bytes_ = 0;
    std::int64_t reserved_ = 0;
    std::string reserve_error_;
    std::vector<JournalEntry> opened_with_;
};

}  // namespace pondrel
