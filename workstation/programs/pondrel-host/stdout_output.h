// Standard output as an output: each completed round, in the chosen format,
// handed from the lines' threads to the main thread, which writes it. On a
// terminal the table shows the latest block of every meter, redrawn in place.
// write() on any thread; drain() on the main thread.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "json_output.h"
#include "options.h"
#include "outputs.h"

namespace pondrel {

class StdoutOutput : public RoundOutput {
public:
    // `with_meter`: the lines name their meter (a configuration's run).
    StdoutOutput(JsonOutput& out, OutputFormat format, bool with_meter);

    void write(const CompletedRound& round) override;
    // Writes what waits. Stops at the first write that is not Written and returns its result.
    JsonOutput::Result drain();

private:
    JsonOutput& out_;
    const OutputFormat format_;
    const bool with_meter_;
    std::mutex mutex_;
    std::deque<std::string> waiting_;
    std::map<std::string, std::string> blocks_;  // on a terminal: the latest table block of each meter
};

}  // namespace pondrel
