// Stores completed rounds in the history without holding up polling, and
// loses none to a kill: append() puts each round in the journal beside the
// history (in the file when it returns; see round_journal.h) and hands it to
// a writer thread, which stores rounds in order, in batches, each with the
// count of journal entries the history then holds. Rounds a kill left in the
// journal are stored first, at the next start.
// While the history refuses them (another writer holds it, a full disk),
// rounds wait in the journal and in memory, polling goes on, and the writer
// tries again each second (after a full disk it moves the write-ahead log
// back into the history first). A round the journal cannot take (its disk
// full too) waits in memory only. Each change of state is reported once.
// The journal reserves its space ahead (`journal_reserve_bytes`): rounds go
// on into it while the disk is full; the start says how many it holds, and a
// warning comes when 80% of it is used and when it is full.
// append(), newest(), waiting() and with_history() from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history.h"
#include "report.h"
#include "round_journal.h"

namespace pondrel {

class HistoryWriter {
public:
    // Rounds waiting in memory at most; beyond, the oldest are dropped.
    static constexpr std::size_t kMaxWaiting = 100000;

    // `history` must outlive this object. Opens its journal and starts the
    // writer thread.
    HistoryWriter(History& history, Report report, std::int64_t journal_reserve_bytes = 0);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Never waits for the history. Throws only for a record over 1 KiB or a
    // meter's name over 255 bytes. `entry.utc_offset_s` is set here.
    void append(JournalEntry entry);
    // The newest record of `data_id` from `meter`, stored or waiting.
    std::optional<std::vector<unsigned char>> newest(std::uint32_t data_id, const std::string& meter);
    // Calls `use` with the history while the writer leaves it alone.
    template <typename Use>
    auto with_history(Use use) {
        std::lock_guard<std::mutex> lock(history_mutex_);
        return use(history_);
    }
    // A round's journal entry, about: for saying how many rounds a reserve holds.
    static constexpr std::int64_t kRoundBytes = 300;
    // Rounds not yet in the history.
    std::size_t waiting() const { return waiting_count_; }

    struct Unstored {
        std::size_t in_journal = 0;  // kept for the next start
        std::size_t lost = 0;        // neither stored nor in the journal
    };
    // At the end: stops the writer, gives the history one try as patient as
    // at start, and says what remains.
    Unstored finish();
    const std::string& journal_path() const { return journal_path_; }

private:
    struct Pending {
        JournalEntry entry;
        std::int64_t journal_index;  // -1: not in the journal
    };
    void run();
    // Stores `batch`; false when the history refused it.
    bool store(const std::vector<Pending>& batch);
    // Empties the journal once all it holds is stored (mutex_ held).
    void restart_journal();

    History& history_;
    Report report_;
    std::string journal_path_;
    std::unique_ptr<RoundJournal> journal_;
    std::int64_t journal_stored_ = 0;  // entries of the journal the history holds
    std::chrono::steady_clock::time_point journal_started_ = std::chrono::steady_clock::now();
    // Says once when 80% of the journal's reserve is used, and when all (under mutex_).
    void say_reserve();

    std::mutex mutex_;  // waiting_, the journal's appends
    std::mutex history_mutex_;
    std::condition_variable wake_;
    std::deque<Pending> waiting_;
    std::atomic<std::size_t> waiting_count_{0};
    bool stopping_ = false;
    std::atomic<bool> failing_{false};
    bool journal_failing_ = false;
    int reserve_said_ = 0;  // 0 nothing yet, 80: most of it used, 100: full
    bool dropping_ = false;
    std::size_t lost_ = 0;
    std::thread thread_;
};

}  // namespace pondrel
