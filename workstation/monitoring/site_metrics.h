// The site's figures for Prometheus, as an output of completed rounds and a
// collectable of the scrape: each meter's latest readings (in base units:
// volts, amperes, watts, joules), whether it is up, its rounds, their
// durations and its failures by reason; each line's state; what waits for
// the history and the broker. A scrape reads what the last completed rounds
// left here and never waits for a line. A stale meter (is_stale(): no
// completed round within its stale_after_s) shows no readings, only pondrel_up 0.
//
// Threads: rounds, failures and line states come from the lines' threads,
// scrapes from the HTTP server's, set_meters from the main thread.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <prometheus/collectable.h>

#include "energy_guard.h"
#include "outputs.h"
#include "report.h"
#include "round_values.h"

namespace pondrel {

class SiteMetrics : public RoundOutput, public prometheus::Collectable {
public:
    using Clock = std::chrono::steady_clock;

    // `report` takes status lines (an energy counter's reset); `now` is the
    // clock staleness is judged by.
    explicit SiteMetrics(Report report,
                         std::function<Clock::time_point()> now = Clock::now);

    // The meters and lines configured: each has its series from the start.
    void set_site(const std::vector<MeterIdentity>& meters, const std::vector<std::string>& lines);
    // Where the figures of what waits come from (called during a scrape).
    void set_waiting(std::function<double()> history, std::function<double()> broker);
    // Another destination's stored rounds not yet taken, as gauge `family`.
    void add_waiting(std::string family, std::string help, std::function<double()> waiting);

    void write(const CompletedRound& round) override;
    void failed(const MeterIdentity& meter, RoundFailure why) override;
    void implausible(const MeterIdentity& meter) override;
    void line_state(const std::string& line, bool up) override;

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    struct Meter {
        MeterIdentity identity;
        std::optional<RoundValues> values;
        MeterEnergyGuard guard;
        std::array<double, pondrel_meter::kCircuits> energy_rejected{};
        std::optional<Clock::time_point> last_round;
        double last_round_unix = 0;
        double rounds = 0;
        double implausible = 0;
        std::map<RoundFailure, double> failures;
        std::vector<std::uint64_t> buckets;  // not cumulative
        std::uint64_t durations = 0;
        double duration_sum = 0;
    };

    const Report report_;
    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::map<std::string, Meter> meters_;
    std::map<std::string, bool> lines_;
    std::function<double()> history_waiting_;
    std::function<double()> broker_waiting_;
    struct Waiting {
        std::string family;
        std::string help;
        std::function<double()> count;
    };
    std::vector<Waiting> other_waiting_;
};

}  // namespace pondrel
