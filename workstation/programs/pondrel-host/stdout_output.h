// Standard output as an output: each completed round, in the chosen format,
// handed from the lines' threads to the main thread, which writes it. On a
// terminal the table shows the latest block of every meter, redrawn in place
// each second with the age of its round (and a stale mark once no round came
// within its interval), and the newest status line beneath, instead of
// status lines scrolling it away. write() on any thread; the rest on the
// main thread.
#pragma once

#include <chrono>
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
    ~StdoutOutput() override;
    StdoutOutput(const StdoutOutput&) = delete;
    StdoutOutput& operator=(const StdoutOutput&) = delete;

    // A meter's interval, for its stale mark on the screen.
    void set_interval(const std::string& meter, double seconds);
    // Draws the screen again when a second has passed (the table on a terminal).
    void refresh();

    void write(const CompletedRound& round) override;
    // Writes what waits. Stops at the first write that is not Written and returns its result.
    JsonOutput::Result drain();

private:
    JsonOutput& out_;
    const OutputFormat format_;
    const bool with_meter_;
    std::mutex mutex_;
    std::deque<std::string> waiting_;
    using Clock = std::chrono::steady_clock;
    struct Block {
        std::string text;
        Clock::time_point at;
    };
    // The screen, from blocks_ and status_ (mutex_ held).
    void draw();
    const bool screen_;                     // the table on a terminal
    std::map<std::string, Block> blocks_;   // the latest table block of each meter
    std::map<std::string, double> intervals_;
    std::string status_;                    // the newest status line
    Clock::time_point drawn_{};
};

}  // namespace pondrel
