#include "history_output.h"

#include <utility>

namespace pondrel {

HistoryOutput::HistoryOutput(History& history, Report report)
    : history_(history), writer_(history, std::move(report)) {}

void HistoryOutput::write(const CompletedRound& round) {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_.append(round.meter->data_id, round.type_code, round.saved_at, round.record.data(),
                   static_cast<unsigned int>(round.record.size()));
    waiting_ = writer_.waiting();
    ++rounds_;
}

void HistoryOutput::after_attempt() {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_.flush();
    waiting_ = writer_.waiting();
}

std::optional<std::vector<unsigned char>> HistoryOutput::newest(std::uint32_t data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_.newest(data_id);
}

long HistoryOutput::prune(std::uint32_t data_id, boost::posix_time::ptime cutoff,
                          std::optional<std::int64_t> keep_after) {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_.prune(data_id, cutoff, keep_after);
}

std::size_t HistoryOutput::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writer_.finish();
}

}  // namespace pondrel
