#include "history_output.h"

#include <utility>

namespace pondrel {

HistoryOutput::HistoryOutput(History& history, Report report, std::int64_t journal_reserve_bytes)
    : writer_(history, std::move(report), journal_reserve_bytes) {}

void HistoryOutput::write(const CompletedRound& round) {
    writer_.append({round.meter->data_id, round.type_code, round.saved_at, 0, round.meter->series, round.record});
}

std::optional<std::vector<unsigned char>> HistoryOutput::newest(std::uint32_t data_id, const std::string& series) {
    return writer_.newest(data_id, series);
}

long HistoryOutput::prune(std::uint32_t data_id, boost::posix_time::ptime cutoff,
                          std::optional<std::int64_t> keep_after) {
    return writer_.with_history([&](History& history) { return history.prune(data_id, cutoff, keep_after); });
}

void HistoryOutput::prune_minutes(std::uint32_t data_id, boost::posix_time::ptime cutoff) {
    writer_.with_history([&](History& history) {
        history.prune_minutes(data_id, cutoff);
        return 0;
    });
}

void HistoryOutput::prune_statistics(std::uint32_t data_id, boost::posix_time::ptime cutoff) {
    writer_.with_history([&](History& history) {
        history.prune_statistics(data_id, cutoff);
        return 0;
    });
}

HistoryWriter::Unstored HistoryOutput::finish() { return writer_.finish(); }

}  // namespace pondrel
