#include "delivery_engine.h"

#include <algorithm>
#include <optional>

namespace pondrel {

DeliveryEngine::DeliveryEngine(std::unique_ptr<Destination> destination, std::unique_ptr<Outbox> outbox, Report report,
                               std::int64_t max_pending, Timing timing)
    : destination_(std::move(destination)),
      outbox_(std::move(outbox)),
      report_(std::move(report)),
      max_pending_(max_pending),
      timing_(timing),
      name_(destination_->name()) {
    acknowledged_ = outbox_->acknowledged();
}

DeliveryEngine::~DeliveryEngine() { stop(); }

void DeliveryEngine::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void DeliveryEngine::stop() {
    stop_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void DeliveryEngine::wake() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        wake_ = true;
    }
    woken_.notify_one();
}

void DeliveryEngine::pause(std::chrono::milliseconds for_how_long) {
    std::unique_lock<std::mutex> lock(mutex_);
    woken_.wait_for(lock, for_how_long, [this] { return wake_ || stop_; });
    wake_ = false;
}

void DeliveryEngine::say(Severity severity, const std::string& line) {
    if (report_) report_(severity, line);
}

std::optional<std::int64_t> DeliveryEngine::keep_after() {
    if (waiting_ > max_pending_) {
        if (!overflow_said_) {
            say(Severity::Warning, std::to_string(waiting_.load()) + " stored rounds wait for " + name_ +
                                       ", more than max_pending (" + std::to_string(max_pending_) +
                                       "); retention no longer keeps them");
            overflow_said_ = true;
        }
        return std::nullopt;
    }
    overflow_said_ = false;
    return acknowledged_.load();
}

void DeliveryEngine::run() {
    std::chrono::milliseconds backoff = timing_.first_backoff;
    std::string problem;          // the destination's, as last said
    std::string outbox_problem;   // the history's, as last said
    // After stop(), what waits still goes while the destination takes it, for kDrain at most.
    std::optional<std::chrono::steady_clock::time_point> drain_until;
    for (;;) {
        if (stop_) {
            if (!drain_until) drain_until = std::chrono::steady_clock::now() + kDrain;
            if (std::chrono::steady_clock::now() >= *drain_until) break;
        }
        std::vector<History::Row> rows;
        try {
            rows = outbox_->rows_after(outbox_->acknowledged(), static_cast<int>(destination_->batch_rows()));
            waiting_ = outbox_->waiting();
            if (!outbox_problem.empty()) say(Severity::Info, name_ + ": the history is readable again");
            outbox_problem.clear();
        } catch (const std::exception& e) {
            if (outbox_problem != e.what()) say(Severity::Warning, name_ + ": " + e.what());
            outbox_problem = e.what();
            if (stop_) break;
            pause(timing_.idle);
            continue;
        }
        if (rows.empty()) {
            if (stop_) break;
            pause(timing_.idle);
            continue;
        }
        const Destination::Answer answer = destination_->send(rows);
        if (answer.verdict == Destination::Verdict::Retry && stop_) {
            say(Severity::Warning, name_ + ": " + answer.problem + "; " + std::to_string(waiting_.load()) +
                                       " stored rounds wait for the next start");
            break;
        }
        if (answer.verdict == Destination::Verdict::Retry) {
            if (answer.problem != problem) {
                say(Severity::Warning, name_ + ": " + answer.problem + "; " + std::to_string(waiting_.load()) +
                                           " stored rounds wait and go when it takes them");
            }
            problem = answer.problem;
            std::unique_lock<std::mutex> lock(mutex_);
            woken_.wait_for(lock, backoff, [this] { return stop_.load(); });
            backoff = std::min(backoff * 2, timing_.longest_backoff);
            continue;
        }
        if (answer.verdict == Destination::Verdict::Skip) {
            say(Severity::Warning, name_ + " refused rows " + std::to_string(rows.front().id) + " to " +
                                       std::to_string(rows.back().id) + " as invalid (" + answer.problem +
                                       "); they are passed over");
        } else if (!problem.empty()) {
            say(Severity::Info, name_ + " takes rounds again");
        }
        problem.clear();
        backoff = timing_.first_backoff;
        try {
            outbox_->acknowledge(rows.back().id);
            acknowledged_ = rows.back().id;
        } catch (const std::exception& e) {
            // Not kept: after a restart the batch goes again, and overwrites itself.
            if (outbox_problem != e.what()) say(Severity::Warning, name_ + ": " + e.what());
            outbox_problem = e.what();
            pause(timing_.idle);
        }
    }
}

}  // namespace pondrel
