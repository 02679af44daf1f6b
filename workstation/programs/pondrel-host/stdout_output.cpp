#include "stdout_output.h"

#include "round_formats.h"

namespace pondrel {

StdoutOutput::StdoutOutput(JsonOutput& out, OutputFormat format, bool with_meter)
    : out_(out), format_(format), with_meter_(with_meter) {}

void StdoutOutput::write(const CompletedRound& round) {
    std::string text;
    switch (format_) {
    case OutputFormat::Json: text = json_line(round, with_meter_); break;
    case OutputFormat::Influx: text = influx_line(round); break;
    case OutputFormat::Table: text = table_block(round, with_meter_); break;
    case OutputFormat::Readings: text = readings_line(round); break;
    }
    if (text.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (format_ == OutputFormat::Table && out_.is_terminal()) {
        // Drawn again in place: every meter's latest block.
        blocks_[round.meter->name] = text;
        std::string screen = "\x1b[H\x1b[J";
        for (const auto& [name, block] : blocks_) screen += block + "\n";
        waiting_.clear();
        waiting_.push_back(screen);
        return;
    }
    waiting_.push_back(format_ == OutputFormat::Table ? text + "\n" : text);
}

JsonOutput::Result StdoutOutput::drain() {
    std::deque<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(waiting_);
    }
    for (const std::string& line : lines) {
        const JsonOutput::Result result = out_.write(line);
        if (result != JsonOutput::Result::Written) return result;
    }
    return JsonOutput::Result::Written;
}

}  // namespace pondrel
