#include "history_writer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace pondrel {

namespace {

constexpr std::size_t kBatch = 256;
constexpr auto kRetry = std::chrono::seconds(1);
// A journal whose entries are all stored starts afresh this often, and at
// the end: it holds little more than what waits.
constexpr auto kJournalRestart = std::chrono::seconds(10);

}  // namespace

HistoryWriter::HistoryWriter(History& history, Report report, std::int64_t journal_reserve_bytes)
    : history_(history), report_(std::move(report)), journal_path_(history.path() + ".journal") {
    try {
        journal_ = std::make_unique<RoundJournal>(journal_path_, journal_reserve_bytes);
        const std::string megabytes = std::to_string(journal_reserve_bytes / (1024 * 1024)) + " MB";
        if (journal_->reserved() > 0) {
            report_(Severity::Info, "journal " + journal_path_ + " reserves " + megabytes + ": room for about " +
                                        std::to_string(journal_->reserved() / kRoundBytes) +
                                        " rounds while the history cannot take them");
        } else if (journal_reserve_bytes > 0) {
            report_(Severity::Warning, "cannot reserve " + megabytes + " for journal " + journal_path_ + ": " +
                                           journal_->reserve_error() +
                                           "; on a full disk, rounds would wait in memory only");
        }
        journal_stored_ = std::min(history_.journal_stored(journal_->id()), journal_->entries());
        const auto& held = journal_->opened_with();
        for (std::size_t i = static_cast<std::size_t>(journal_stored_); i < held.size(); ++i) {
            waiting_.push_back({held[i], static_cast<std::int64_t>(i)});
        }
        if (!waiting_.empty()) {
            report_(Severity::Info, std::to_string(waiting_.size()) + " completed rounds in journal " + journal_path_ +
                                        " are stored first");
        }
    } catch (const std::exception& e) {
        journal_.reset();
        report_(Severity::Warning, std::string(e.what()) + "; rounds that wait for the history wait in memory only");
    }
    waiting_count_ = waiting_.size();
    thread_ = std::thread([this] { run(); });
}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void HistoryWriter::append(JournalEntry entry) {
    if (entry.record.size() > kMaxRecordBytes) throw std::length_error("a record of more than 1024 bytes");
    if (entry.meter.size() > kMaxMeterBytes) throw std::length_error("a meter's name of more than 255 bytes");
    entry.utc_offset_s = utc_offset_at(entry.saved_at);
    Pending next{std::move(entry), -1};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (journal_) {
            try {
                journal_->append(next.entry);
                next.journal_index = journal_->entries() - 1;
                say_reserve();
                if (journal_failing_) {
                    journal_failing_ = false;
                    report_(Severity::Info, "journal " + journal_path_ + " takes rounds again");
                }
            } catch (const std::exception& e) {
                if (!journal_failing_) {
                    journal_failing_ = true;
                    report_(Severity::Warning, std::string(e.what()) + "; rounds wait in memory only");
                }
            }
        }
        if (waiting_.size() >= kMaxWaiting) {
            waiting_.pop_front();
            ++lost_;
            if (!dropping_) {
                dropping_ = true;
                report_(Severity::Error, std::to_string(kMaxWaiting) + " completed rounds wait for history " +
                                             history_.path() + "; dropping the oldest");
            }
        }
        waiting_.push_back(std::move(next));
        waiting_count_ = waiting_.size();
    }
    wake_.notify_all();
}

void HistoryWriter::say_reserve() {
    const std::int64_t reserved = journal_->reserved();
    if (reserved == 0) return;
    const std::int64_t used = journal_->bytes();
    const int now = used > reserved ? 100 : used * 5 >= reserved * 4 ? 80 : 0;
    if (now <= reserve_said_) {
        reserve_said_ = now;
        return;
    }
    reserve_said_ = now;
    if (now == 80) {
        report_(Severity::Warning, "journal " + journal_path_ + " has used 80% of its reserve: room for about " +
                                       std::to_string((reserved - used) / kRoundBytes) + " more rounds");
    } else {
        report_(Severity::Warning, "journal " + journal_path_ + "'s reserve is full: further rounds are journaled "
                                   "only while the disk has room");
    }
}

std::optional<std::vector<unsigned char>> HistoryWriter::newest(std::uint32_t data_id, const std::string& meter) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
            if (it->entry.data_id == data_id && it->entry.meter == meter) return it->entry.record;
        }
    }
    std::lock_guard<std::mutex> lock(history_mutex_);
    return history_.newest(data_id, meter);
}

bool HistoryWriter::store(const std::vector<Pending>& batch) {
    std::vector<JournalEntry> entries;
    std::int64_t stored = journal_stored_;
    for (const Pending& pending : batch) {
        entries.push_back(pending.entry);
        if (pending.journal_index >= 0) stored = pending.journal_index + 1;
    }
    std::lock_guard<std::mutex> lock(history_mutex_);
    try {
        if (failing_) {
            // What a full disk left in the write-ahead log goes back first.
            history_.checkpoint();
            if (journal_) journal_->sync();
        }
        history_.append_from_journal(entries, journal_ ? journal_->id() : 0, stored);
        journal_stored_ = stored;
        return true;
    } catch (const std::exception& e) {
        if (!failing_) {
            report_(Severity::Warning, std::string(e.what()) + "; keeping rounds " +
                                           (journal_ ? "in journal " + journal_path_ : std::string("in memory")) +
                                           " and polling on");
            if (journal_) journal_->sync();
        }
        failing_ = true;
        return false;
    }
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (failing_) {
            wake_.wait_for(lock, kRetry, [this] { return stopping_; });
        } else {
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        }
        if (stopping_) return;
        if (waiting_.empty()) continue;
        const std::vector<Pending> batch(waiting_.begin(),
                                         waiting_.begin() + static_cast<long>(std::min(kBatch, waiting_.size())));
        const bool was_failing = failing_;
        lock.unlock();
        const bool stored = store(batch);
        lock.lock();
        if (!stored) continue;
        // append() only adds at the back, so the batch is still at the front.
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<long>(batch.size()));
        waiting_count_ = waiting_.size();
        if (was_failing) {
            failing_ = false;
            dropping_ = false;
            report_(Severity::Info, "history " + history_.path() + " takes records again; " +
                                        std::to_string(waiting_.size() + batch.size()) + " rounds that waited are stored in order");
        }
        if (std::chrono::steady_clock::now() - journal_started_ >= kJournalRestart) restart_journal();
    }
}

void HistoryWriter::restart_journal() {
    if (!waiting_.empty() || !journal_ || journal_->entries() == 0) return;
    std::lock_guard<std::mutex> history_lock(history_mutex_);
    const std::uint64_t old = journal_->id();
    try {
        journal_->reset();
        journal_stored_ = 0;
        journal_started_ = std::chrono::steady_clock::now();
        history_.forget_journal(old);
    } catch (const std::exception& e) {
        report_(Severity::Warning, e.what());
    }
}

HistoryWriter::Unstored HistoryWriter::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting_.empty()) {
        with_history([](History& history) { history.set_busy_timeout(History::kStartBusyMs); });
        while (!waiting_.empty()) {
            const std::vector<Pending> batch(waiting_.begin(),
                                             waiting_.begin() + static_cast<long>(std::min(kBatch, waiting_.size())));
            if (!store(batch)) break;
            waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<long>(batch.size()));
        }
        with_history([](History& history) { history.set_busy_timeout(History::kRoundBusyMs); });
    }
    waiting_count_ = waiting_.size();
    restart_journal();
    Unstored unstored;
    unstored.lost = lost_;
    for (const Pending& pending : waiting_) (pending.journal_index >= 0 ? unstored.in_journal : unstored.lost) += 1;
    if (journal_) journal_->sync();
    return unstored;
}

}  // namespace pondrel
