#include "history_writer.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace pondrel {

HistoryWriter::HistoryWriter(History& history, Report report)
    : history_(history), report_(std::move(report)) {}

bool HistoryWriter::write(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                          const unsigned char* record, unsigned int len) {
    try {
        history_.append(data_id, type_code, saved_at, record, len);
        return true;
    } catch (const std::exception& e) {
        if (!unavailable_) {
            unavailable_ = true;
            report_(Severity::Warning, std::string(e.what()) + "; keeping records in memory and polling on");
        }
        return false;
    }
}

void HistoryWriter::append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                           const unsigned char* record, unsigned int len) {
    if (len > kMaxRecordBytes) throw std::length_error("a record of more than 256 bytes");
    // Straight to the history when nothing waits; else behind the others,
    // for the next flush().
    if (waiting_.empty() && write(data_id, type_code, saved_at, record, len)) return;
    if (waiting_.size() == kMaxWaiting) {
        waiting_.pop_front();
        if (!dropping_) {
            dropping_ = true;
            report_(Severity::Warning, "history " + history_.path() + ": " + std::to_string(kMaxWaiting) +
                    " records wait to be stored; dropping the oldest");
        }
    }
    Waiting next{data_id, type_code, saved_at, len, {}};
    std::memcpy(next.bytes.data(), record, len);
    waiting_.push_back(next);
}

void HistoryWriter::flush() {
    std::size_t written = 0;
    while (!waiting_.empty()) {
        const Waiting& oldest = waiting_.front();
        if (!write(oldest.data_id, oldest.type_code, oldest.saved_at, oldest.bytes.data(), oldest.len)) break;
        waiting_.pop_front();
        ++written;
    }
    if (waiting_.empty() && unavailable_) {
        unavailable_ = false;
        dropping_ = false;
        report_(Severity::Info, "history " + history_.path() + " takes records again; stored " + std::to_string(written) +
                " that waited");
    }
}

std::size_t HistoryWriter::finish() {
    if (!waiting_.empty()) {
        history_.set_busy_timeout(History::kStartBusyMs);
        flush();
        history_.set_busy_timeout(History::kRoundBusyMs);
    }
    return waiting_.size();
}

}  // namespace pondrel
