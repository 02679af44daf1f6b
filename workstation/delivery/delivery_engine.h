// Durable delivery of stored rounds to one destination, with the history as
// its outbox: rows go in storing order, a batch at a time, after they are
// stored; the last row the destination took is kept in the history's
// `published` table, so that an outage or a restart loses nothing and sends
// again at most the batch that was in flight. A destination that cannot take
// a batch is retried with backoff (1 s doubling to 30 s, by default), each
// change of its state said once; rows it calls invalid are passed over, said
// once. Retention keeps the rows it has not taken, unless more than
// `max_pending` wait.
// Threads: its own thread reads the outbox and sends; wake(), waiting() and
// keep_after() and write() from any thread; start() and stop() from the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "destination.h"
#include "outputs.h"
#include "outbox.h"
#include "report.h"

namespace pondrel {

class DeliveryEngine : public RoundOutput {
public:
    struct Timing {
        std::chrono::milliseconds first_backoff{1000};
        std::chrono::milliseconds longest_backoff{30000};
        // How often the outbox is read when nothing wakes the engine.
        std::chrono::milliseconds idle{1000};
    };

    DeliveryEngine(std::unique_ptr<Destination> destination, std::unique_ptr<Outbox> outbox, Report report,
                   std::int64_t max_pending, Timing timing);
    ~DeliveryEngine() override;
    DeliveryEngine(const DeliveryEngine&) = delete;
    DeliveryEngine& operator=(const DeliveryEngine&) = delete;

    // After stop(), what waits goes on while the destination takes it, this long at most.
    static constexpr std::chrono::seconds kDrain{5};

    void start();
    // Sends what waits while the destination takes it (kDrain at most), then ends.
    void stop();
    // A round was stored: look at the outbox now.
    void wake();
    // A completed round (from a line's thread): it is stored first, and sent from the outbox.
    void write(const CompletedRound& /*round*/) override { wake(); }

    // Stored rounds the destination has not taken.
    std::int64_t waiting() const { return waiting_; }
    // The last row the destination took, when retention must keep the rows
    // after it: not when more than max_pending wait (said once).
    std::optional<std::int64_t> keep_after();
    const std::string& name() const { return name_; }

private:
    void run();
    // Waits `for_how_long` or until woken or stopped.
    void pause(std::chrono::milliseconds for_how_long);
    void say(Severity severity, const std::string& line);

    const std::unique_ptr<Destination> destination_;
    const std::unique_ptr<Outbox> outbox_;
    const Report report_;
    const std::int64_t max_pending_;
    const Timing timing_;
    const std::string name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> waiting_{0};
    std::atomic<std::int64_t> acknowledged_{0};
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
    bool overflow_said_ = false;
};

}  // namespace pondrel
