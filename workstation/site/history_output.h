// The history as an output: every completed round is appended and synced
// before its line's next request; while the history cannot take records they
// wait in order (HistoryWriter). Shared by every line: one round at a time.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
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
    // `history` must outlive this object; `report` takes its status lines.
    HistoryOutput(History& history, Report report);

    void write(const CompletedRound& round) override;
    void after_attempt() override;
    // The newest record of `data_id`, for restoring it at start.
    std::optional<std::vector<unsigned char>> newest(std::uint32_t data_id);
    // Deletes the rows of `data_id` older than `cutoff`, never its newest nor
    // any row after `keep_after` (rounds not yet published); how many.
    long prune(std::uint32_t data_id, boost::posix_time::ptime cutoff, std::optional<std::int64_t> keep_after);
    // Records waiting in memory for the history to take them, as of the last
    // write; never waits for one (a scrape asks).
    std::size_t waiting() const { return waiting_; }
    // At the end: how many records could not be stored.
    std::size_t finish();
    // How many rounds were handed to it so far.
    long rounds() const { return rounds_; }

private:
    std::mutex mutex_;
    History& history_;
    HistoryWriter writer_;
    std::atomic<long> rounds_{0};
    std::atomic<std::size_t> waiting_{0};
};

}  // namespace pondrel
