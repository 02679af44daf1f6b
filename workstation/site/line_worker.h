// One line of a site and the meters on it, polled by a thread of its own:
// requests go out one at a time (the line keeps its silence between them),
// each meter at its own interval; when several are due they take turns, the
// one waiting longest first, so none starves. A meter that fails is left at
// its first failed request and tried again after a backoff (its interval
// doubling, at most retry_max); answering again, it is back at its interval
// at once. Each change (failing, answering again) is one status line naming
// the meter, its line, its slave and the reason. A lost line is reopened,
// waiting 0.5 s doubling to 10 s; its meters wait, other lines go on.
//
// Threads: the worker's own thread drives its line and meters; the other
// members are called from the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "meter_device.h"
#include "modbus_master.h"
#include "outputs.h"
#include "report.h"
#include "site_config.h"

namespace pondrel {

// When a meter is done.
struct PollLimits {
    std::optional<long> rounds;        // after this many completed rounds
    bool once = false;                 // after one round attempt
    std::optional<long> max_failures;  // after this many failed rounds in a row (it gives up)
    bool round_status = false;         // one status line a round, as the single-meter command line has
};

// How a meter's polling ended.
enum class MeterEnd {
    Done,         // its rounds or its one attempt completed
    NoAnswer,     // it did not answer as it should (--once, --max-failures)
    NoWordOrder,  // no single word order fits its readings
    Implausible,  // its one round (--once) completed with readings it cannot have measured
    LineClosed,   // its line could not be opened within the line's timeout (--once)
};

// What a meter's polling came to once it is done.
struct MeterOutcome {
    std::string meter;
    MeterEnd end = MeterEnd::Done;
    std::string message;  // why, when it did not end Done
};

class LineWorker {
public:

    // `master` is the open line, or nullptr when it could not be opened (it
    // is then retried). `outputs` must outlive the worker.
    LineWorker(LineConfig line, std::unique_ptr<ModbusMaster> master, std::vector<RoundOutput*> outputs,
               PollLimits limits, Report report);
    ~LineWorker();
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    const LineConfig& config() const { return line_; }
    // Adds a meter (before start() or while running: it starts at once), or
    // removes one by name (it stops after its current round; it is deleted
    // on the worker's thread or by the destructor).
    void add(std::unique_ptr<MeterDevice> meter, bool restored);
    void remove(const std::string& meter);
    std::vector<std::string> meters() const;

    void start();
    // Asks the thread to stop and waits for it; within about one response timeout.
    void stop();

    // Meters that are done, and whether every meter of the line is.
    std::vector<MeterOutcome> outcomes() const;
    bool all_done() const;

    // When the worker's thread last made progress: it marks every turn of
    // its loop, every 50 ms of a wait and the start of every round, so only
    // a request or a round that takes longer leaves it behind.
    std::chrono::steady_clock::time_point last_progress() const {
        return Clock::time_point(Clock::duration(progress_.load()));
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        std::unique_ptr<MeterDevice> meter;
        Clock::time_point due{};
        Clock::time_point served{};
        Clock::duration wait{};
        long polls = 0;
        long completed = 0;
        long failed_in_a_row = 0;
        bool failing = false;
        bool restored = false;
        bool order_known = false;
        bool done = false;
        bool implausible = false;  // its last completed round's readings cannot be what it measured
        std::string last_state;    // the last round line's state, so that only a change is said at info
    };

    void run();
    void apply_changes();
    bool reconnect();
    void poll(Slot& slot);
    bool find_order(Slot& slot);
    // A lone meter's line about its round: "round N STATE".
    void round_line(Slot& slot, Severity severity, const std::string& state);
    void failed(Slot& slot, const std::string& error, LineFault fault);
    void finish(Slot& slot, MeterEnd end, const std::string& message);
    void sleep_until(Clock::time_point when);
    // Tells the outputs whether the line is open.
    void line_state(bool up);
    void mark_progress() { progress_ = Clock::now().time_since_epoch().count(); }
    std::string who(const Slot& slot) const;

    const LineConfig line_;
    std::unique_ptr<ModbusMaster> master_;
    std::string lost_reason_;          // why the line was found lost
    const std::vector<RoundOutput*> outputs_;
    const PollLimits limits_;
    const Report report_;
    std::vector<Slot> slots_;          // the worker thread's
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> progress_{Clock::now().time_since_epoch().count()};
    std::thread thread_;

    mutable std::mutex mutex_;         // guards what follows
    std::vector<std::pair<std::unique_ptr<MeterDevice>, bool>> added_;
    std::vector<std::string> removed_;
    std::vector<std::string> names_;
    std::vector<MeterOutcome> outcomes_;
    std::size_t running_ = 0;          // meters not yet done
};

}  // namespace pondrel
