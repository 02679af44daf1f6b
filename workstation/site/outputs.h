// Where readings leave: a meter's completed round goes to each output (the
// history, standard output, metrics, MQTT) as the record the driver handed
// its host, with the meter and the round's time. Outputs other than the JSON
// snapshot read the record, never the snapshot text (which the driver
// rebuilds at most once a second).
//
// Threads: write() is called on the thread of the meter's line, one round at
// a time per meter, rounds of several lines at once; an output guards what
// it shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

namespace pondrel {

// Which meter a round is of.
struct MeterIdentity {
    std::string name;
    std::string line;
    int slave = 1;
    std::uint32_t data_id = 1;
    std::string series;  // what the history's rows name it by: its name, or a lone meter's line and slave
    // Stale (down, offline, greyed) once no round completed for this long:
    // stale_after_s() of its configuration. The page, /metrics and MQTT
    // availability judge by it, with is_stale().
    double stale_after_s = 61;
    // Its 18 circuits' names as the site calls them ("circuit N" unless
    // named); empty where no site names them.
    std::vector<std::string> circuit_names{};
};

// The name of circuit `n` (1 to 18) of `meter`.
inline std::string circuit_name(const MeterIdentity& meter, int n) {
    const std::size_t i = static_cast<std::size_t>(n - 1);
    return i < meter.circuit_names.size() ? meter.circuit_names[i] : "circuit " + std::to_string(n);
}

// True when a meter whose last round completed `since_last_round` ago is stale.
inline bool is_stale(const MeterIdentity& meter, std::chrono::steady_clock::duration since_last_round) {
    return since_last_round > std::chrono::duration<double>(meter.stale_after_s);
}

// Why a round attempt failed, as metrics count it.
enum class RoundFailure {
    Timeout,    // no answer in time
    Crc,        // an answer that failed its check
    Exception,  // the meter answered with a Modbus exception
    Mismatch,   // an answer that does not fit the request
    LineLost,   // the line went away
    Flood,      // the line kept sending without a pause
};
inline constexpr RoundFailure kRoundFailures[] = {RoundFailure::Timeout, RoundFailure::Crc, RoundFailure::Exception,
                                                  RoundFailure::Mismatch, RoundFailure::LineLost, RoundFailure::Flood};
inline const char* round_failure_name(RoundFailure failure) {
    switch (failure) {
    case RoundFailure::Timeout: return "timeout";
    case RoundFailure::Crc: return "crc";
    case RoundFailure::Exception: return "exception";
    case RoundFailure::Mismatch: return "mismatch";
    case RoundFailure::LineLost: return "line_lost";
    case RoundFailure::Flood: return "flood";
    }
    return "mismatch";
}

struct CompletedRound {
    const MeterIdentity* meter = nullptr;
    int type_code = 0;
    boost::posix_time::ptime saved_at;   // the round's local time, as the driver stamped it
    std::vector<unsigned char> record;   // the record the driver handed its host
    std::string snapshot;                // the driver's snapshot text (request 801) after the round
    double duration_s = 0;               // from the round's first request to its last answer
};

class RoundOutput {
public:
    virtual ~RoundOutput() = default;
    // Takes one completed round. May throw std::runtime_error when the round
    // cannot be taken; the caller reports it and goes on.
    virtual void write(const CompletedRound& round) = 0;
    // After every round attempt of a meter, completed or not: a chance to
    // retry what waits.
    virtual void after_attempt() {}
    // A round attempt of `meter` that failed, and why.
    virtual void failed(const MeterIdentity& /*meter*/, RoundFailure /*why*/) {}
    // A meter's completed round whose readings it cannot have measured (after write()).
    virtual void implausible(const MeterIdentity& /*meter*/) {}
    // A line opened (or reopened) or found lost.
    virtual void line_state(const std::string& /*line*/, bool /*up*/) {}
};

}  // namespace pondrel
