// The history as an output: every completed round goes into the history's
// journal before its line's next request and into the history behind it, in
// order, on the writer's thread (HistoryWriter), so polling never waits for
// the history and a kill loses no completed round. Shared by every line.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "history.h"
#include "history_writer.h"
#include "outputs.h"

namespace pondrel {

class HistoryOutput : public RoundOutput {
public:
    // `history` must outlive this object; `report` takes its status lines;
    // the journal reserves `journal_reserve_bytes` (see HistoryWriter).
    HistoryOutput(History& history, Report report, std::int64_t journal_reserve_bytes = 0);

    void write(const CompletedRound& round) override;
    // The newest record of `data_id` from the meter `series` names, for
    // restoring it at start into that meter and no other.
    std::optional<std::vector<unsigned char>> newest(std::uint32_t data_id, const std::string& series);
    // Deletes the rows of `data_id` older than `cutoff`, never its newest nor
    // any row after `keep_after` (rounds not yet published); how many.
    long prune(std::uint32_t data_id, boost::posix_time::ptime cutoff, std::optional<std::int64_t> keep_after);
    // History::prune_minutes, between rounds stored.
    void prune_minutes(std::uint32_t data_id, boost::posix_time::ptime cutoff);
    // History::prune_statistics, between rounds stored.
    void prune_statistics(std::uint32_t data_id, boost::posix_time::ptime cutoff);
    // Rounds not yet in the history; never waits (a scrape asks).
    std::size_t waiting() const { return writer_.waiting(); }
    // At the end: what could not be stored.
    HistoryWriter::Unstored finish();
    const std::string& journal_path() const { return writer_.journal_path(); }

private:
    HistoryWriter writer_;
};

}  // namespace pondrel
