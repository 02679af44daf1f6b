// The newest readings of every meter of the site and how its polling goes,
// as an output of completed rounds, for the page's GET /api/v1/meters.
// A meter's status is "waiting" until its first attempt, then that of its
// last attempt: "ok", "failing" (with the reason) or "implausible"; it is
// stale once no round came within twice its interval and a second.
//
// Threads: rounds and failures come from the lines' threads, set_site from
// the main thread, the JSON from the HTTP server's threads.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "outputs.h"
#include "round_values.h"

namespace pondrel {

class LiveReadings : public RoundOutput {
public:
    using Clock = std::chrono::steady_clock;

    explicit LiveReadings(std::function<Clock::time_point()> now = Clock::now);

    // The meters configured, in the page's order, each with its interval
    // (seconds; 0: as often as the line allows). Keeps the readings of
    // meters that stay.
    void set_site(const std::vector<MeterIdentity>& meters, const std::vector<double>& intervals_s);
    // The meter named `name`, if configured.
    std::optional<MeterIdentity> meter(const std::string& name) const;

    void write(const CompletedRound& round) override;
    void failed(const MeterIdentity& meter, RoundFailure why) override;
    void implausible(const MeterIdentity& meter) override;

    // {"meters": [{"name", "line", "slave", "data_id", "interval_s",
    // "status", "reason", "stale", "rounds", "age_s", "time", "voltage_V",
    // "current_A": [18], "power_W": [18], "energy_kWh": [18]}]}; readings
    // and times are null before a meter's first round.
    std::string meters_json() const;

private:
    struct Meter {
        MeterIdentity identity;
        double interval_s = 0;
        std::string status = "waiting";
        std::string reason;
        long rounds = 0;
        std::optional<RoundValues> values;
        std::optional<Clock::time_point> last_round;
        boost::posix_time::ptime saved_at;
    };
    Meter* find(const std::string& name);

    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::vector<Meter> meters_;
};

}  // namespace pondrel
