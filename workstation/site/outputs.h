// Where readings leave: a meter's completed round goes to each output (the
// history, standard output; more to come) as the record the driver handed
// its host, with the meter and the round's time. Outputs other than the JSON
// snapshot read the record, never the snapshot text (which the driver
// rebuilds at most once a second).
//
// Threads: write() is called on the thread of the meter's line, one round at
// a time per meter, rounds of several lines at once; an output guards what
// it shares.
#pragma once

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
};

struct CompletedRound {
    const MeterIdentity* meter = nullptr;
    int type_code = 0;
    boost::posix_time::ptime saved_at;   // the round's local time, as the driver stamped it
    std::vector<unsigned char> record;   // the record the driver handed its host
    std::string snapshot;                // the driver's snapshot text (request 801) after the round
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
};

}  // namespace pondrel
