#include "line_worker.h"

#include <algorithm>

#include "commissioning.h"
#include "device_status.h"
#include "plausibility.h"
#include "round_schedule.h"

namespace pondrel {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The shortest wait before a failing meter is tried again.
constexpr auto kFirstRetry = std::chrono::milliseconds(500);

}  // namespace

LineWorker::LineWorker(LineConfig line, std::unique_ptr<ModbusMaster> master, std::vector<RoundOutput*> outputs,
                       PollLimits limits, Report report)
    : line_(std::move(line)),
      master_(std::move(master)),
      outputs_(std::move(outputs)),
      limits_(limits),
      report_(std::move(report)) {}

LineWorker::~LineWorker() { stop(); }

void LineWorker::add(std::unique_ptr<MeterDevice> meter, bool restored) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.push_back(meter->config().name);
    ++running_;
    added_.emplace_back(std::move(meter), restored);
}

void LineWorker::remove(const std::string& meter) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.erase(std::remove(names_.begin(), names_.end(), meter), names_.end());
    // One added since the thread last looked goes before it ever runs.
    const auto waiting = std::remove_if(added_.begin(), added_.end(),
                                        [&](const auto& entry) { return entry.first->config().name == meter; });
    running_ -= static_cast<std::size_t>(added_.end() - waiting);
    added_.erase(waiting, added_.end());
    removed_.push_back(meter);
}

std::vector<std::string> LineWorker::meters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
}

std::vector<MeterOutcome> LineWorker::outcomes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
}

bool LineWorker::all_done() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ == 0;
}

void LineWorker::start() { thread_ = std::thread([this] { run(); }); }

void LineWorker::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void LineWorker::apply_changes() {
    std::vector<std::pair<std::unique_ptr<MeterDevice>, bool>> added;
    std::vector<std::string> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        added.swap(added_);
        removed.swap(removed_);
    }
    for (const std::string& name : removed) {
        const auto gone = std::remove_if(slots_.begin(), slots_.end(),
                                         [&](const Slot& s) { return s.meter->config().name == name; });
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = gone; it != slots_.end(); ++it) {
            if (!it->done) --running_;
        }
        slots_.erase(gone, slots_.end());
    }
    for (auto& [meter, restored] : added) {
        Slot slot;
        meter->attach(master_.get());
        slot.meter = std::move(meter);
        slot.restored = restored;
        slot.order_known = !slot.meter->config().word_order_auto;
        slot.due = Clock::now();
        slots_.push_back(std::move(slot));
    }
}

std::string LineWorker::who(const Slot& slot) const {
    const MeterConfig& c = slot.meter->config();
    return "meter " + c.name + " (line " + line_.name + ", slave " + std::to_string(c.slave) + ")";
}

void LineWorker::sleep_until(Clock::time_point when) {
    while (!stop_ && Clock::now() < when) {
        mark_progress();
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), when - Clock::now()));
    }
}

void LineWorker::line_state(bool up) {
    for (RoundOutput* output : outputs_) output->line_state(line_.name, up);
}

void LineWorker::run() {
    apply_changes();
    line_state(master_ != nullptr);
    if (!master_ && !reconnect()) return;
    while (!stop_) {
        mark_progress();
        apply_changes();
        if (master_->lost() && !reconnect()) break;
        Slot* next = nullptr;
        for (Slot& slot : slots_) {
            if (slot.done) continue;
            if (next == nullptr || slot.due < next->due || (slot.due == next->due && slot.served < next->served)) {
                next = &slot;
            }
        }
        const auto now = Clock::now();
        if (next == nullptr) {
            sleep_until(now + std::chrono::milliseconds(50));
        } else if (next->due > now) {
            sleep_until(std::min(next->due, now + std::chrono::milliseconds(50)));
        } else {
            poll(*next);
        }
    }
}

bool LineWorker::reconnect() {
    if (master_) report_(Severity::Warning, master_->describe() + " is gone (" + lost_reason_ + "); reopening it");
    auto wait = std::chrono::milliseconds(500);
    // A single attempt (--once) gives up on a line that stays closed for its timeout.
    const auto give_up_at = Clock::now() + std::chrono::milliseconds(line_.settings.timeout_ms);
    while (!stop_) {
        sleep_until(Clock::now() + wait);
        if (stop_) break;
        apply_changes();
        try {
            const bool opened_before = master_ != nullptr;
            if (opened_before) {
                master_->reopen();
            } else {
                master_ = open_line(line_.settings);
                for (Slot& slot : slots_) slot.meter->attach(master_.get());
            }
            report_(Severity::Info, master_->describe() + (opened_before ? " is back" : " is open"));
            line_state(true);
            for (Slot& slot : slots_) slot.due = Clock::now();
            return true;
        } catch (const std::exception& e) {
            bool any = false;
            const bool once_over = limits_.once && Clock::now() >= give_up_at;
            for (Slot& slot : slots_) {
                if (slot.done) continue;
                ++slot.failed_in_a_row;
                if (once_over) {
                    finish(slot, MeterEnd::LineClosed, "line " + line_.name + " cannot be opened: " + e.what());
                } else if (limits_.max_failures && slot.failed_in_a_row >= *limits_.max_failures) {
                    finish(slot, MeterEnd::NoAnswer, std::string("gave up: ") + e.what());
                } else {
                    any = true;
                }
            }
            if (!any && !slots_.empty()) return false;
            wait = std::min<std::chrono::milliseconds>(wait * 2, std::chrono::seconds(10));
        }
    }
    return false;
}

void LineWorker::finish(Slot& slot, MeterEnd end, const std::string& message) {
    if (slot.done) return;
    slot.done = true;
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back({slot.meter->config().name, end, message});
    --running_;
}

// The single order of an auto meter, before its first round. False when the
// meter did not answer (a failed round) or the meter is done.
bool LineWorker::find_order(Slot& slot) {
    master_->set_slave(slot.meter->config().slave);
    const OrderFinding found = find_word_order(*master_);
    if (!found.answered) {
        failed(slot, found.error, found.fault);
        return false;
    }
    if (found.plausible.size() != 1) {
        finish(slot, MeterEnd::NoWordOrder, no_single_order(found));
        return false;
    }
    slot.meter->set_word_order(found.plausible[0]);
    slot.order_known = true;
    report_(Severity::Info, (limits_.round_status ? "" : who(slot) + ": ") + order_found(found));
    return true;
}

void LineWorker::poll(Slot& slot) {
    ++slot.polls;
    slot.served = Clock::now();
    if (!slot.order_known && !find_order(slot)) {
        for (RoundOutput* output : outputs_) output->after_attempt();
        return;
    }
    const auto began = Clock::now();
    const RoundResult result = slot.meter->poll_round(&stop_);
    std::optional<CompletedRound> round = result.completed ? slot.meter->take_round() : std::nullopt;
    if (round) round->duration_s = std::chrono::duration<double>(Clock::now() - began).count();
    for (RoundOutput* output : outputs_) {
        try {
            if (round) output->write(*round);
            output->after_attempt();
        } catch (const std::exception& e) {
            report_(Severity::Error, e.what());
        }
    }
    // What the meter said is stored and shown; readings it cannot have
    // measured are said once, and counted.
    std::optional<std::string> doubt;
    if (round) {
        doubt = implausible_readings(round->record, slot.meter->config().word_order);
        if (doubt) {
            for (RoundOutput* output : outputs_) output->implausible(slot.meter->identity());
            if (!slot.implausible && !limits_.once) {
                report_(Severity::Warning, (limits_.round_status ? "" : who(slot) + ": ") + *doubt);
            }
        } else if (slot.implausible) {
            report_(Severity::Info, (limits_.round_status ? "readings" : who(slot) + ": readings") + std::string(" plausible again"));
        }
        slot.implausible = doubt.has_value();
    }
    if (result.completed) {
        ++slot.completed;
        slot.failed_in_a_row = 0;
        slot.restored = false;
        slot.wait = Clock::duration::zero();
        if (slot.failing) {
            slot.failing = false;
            if (!limits_.round_status) report_(Severity::Info, who(slot) + " answers again");
        }
        if (limits_.round_status) round_line(slot, Severity::Info, "complete, data " + data_status(slot.meter->device()));
        const auto period = seconds(slot.meter->config().interval_s);
        slot.due = next_start(slot.due + period, period, Clock::now());
        if (limits_.once && doubt) {
            finish(slot, MeterEnd::Implausible, *doubt);
        } else if (limits_.once || (limits_.rounds && slot.completed >= *limits_.rounds)) {
            finish(slot, MeterEnd::Done, "");
        }
    } else if (!stop_) {
        failed(slot, result.error, master_->fault());
    }
}

void LineWorker::round_line(Slot& slot, Severity severity, const std::string& state) {
    // The same state as the round before is said only at debug.
    report_(state == slot.last_state ? Severity::Debug : severity, "round " + std::to_string(slot.polls) + " " + state);
    slot.last_state = state;
}

void LineWorker::failed(Slot& slot, const std::string& error, LineFault fault) {
    ++slot.failed_in_a_row;
    const RoundFailure why = fault == LineFault::NoAnswer    ? RoundFailure::Timeout
                             : fault == LineFault::BadCrc    ? RoundFailure::Crc
                             : fault == LineFault::Exception ? RoundFailure::Exception
                             : fault == LineFault::Lost      ? RoundFailure::LineLost
                             : fault == LineFault::Flood     ? RoundFailure::Flood
                                                             : RoundFailure::Mismatch;
    for (RoundOutput* output : outputs_) output->failed(slot.meter->identity(), why);
    if (fault == LineFault::Lost) line_state(false);
    SerialSettings settings = line_.settings;
    settings.slave = slot.meter->config().slave;
    const std::string causes = likely_causes(fault, error, settings);
    if (fault == LineFault::Lost) lost_reason_ = error;
    if (limits_.once) {
        finish(slot, MeterEnd::NoAnswer, "the round failed: " + causes);
        return;
    }
    if (limits_.max_failures && slot.failed_in_a_row >= *limits_.max_failures) {
        finish(slot, MeterEnd::NoAnswer,
               "gave up after " + std::to_string(slot.failed_in_a_row) + " failed rounds in a row: " + causes);
        return;
    }
    if (limits_.round_status) {
        round_line(slot, Severity::Warning,
                   "failed (" + (error.empty() ? std::string("incomplete") : error) + "), data " +
                       (slot.restored ? "restored, no round yet" : data_status(slot.meter->device())));
    } else if (!slot.failing) {
        report_(Severity::Warning, who(slot) + " is failing: " + causes);
    }
    slot.failing = true;
    // Tried again after its interval, doubling while it fails, at most retry_max.
    const MeterConfig& c = slot.meter->config();
    const auto interval = seconds(c.interval_s);
    const auto longest = std::max(seconds(c.retry_max_s), interval);
    const auto first = std::max<Clock::duration>(interval, kFirstRetry);
    slot.wait = std::min(slot.wait == Clock::duration::zero() ? first : slot.wait * 2, longest);
    slot.due = Clock::now() + slot.wait;
}

}  // namespace pondrel
