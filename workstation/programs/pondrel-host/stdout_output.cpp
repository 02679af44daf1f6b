#include "stdout_output.h"

#include "round_formats.h"

#include <unistd.h>

#include <cstdio>

#include "program_main.h"

namespace pondrel {

StdoutOutput::StdoutOutput(JsonOutput& out, OutputFormat format, bool with_meter)
    : out_(out), format_(format), with_meter_(with_meter),
      screen_(format == OutputFormat::Table && out.is_terminal()) {
    if (screen_ && isatty(STDERR_FILENO) == 1) {
        set_report_sink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = line;
            drawn_ = {};  // at the next refresh
        });
    }
}

StdoutOutput::~StdoutOutput() {
    if (!screen_) return;
    set_report_sink({});
    // The last status line stays readable below the screen.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!status_.empty()) std::fprintf(stderr, "%s\n", status_.c_str());
}

void StdoutOutput::set_interval(const std::string& meter, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    intervals_[meter] = seconds;
}

void StdoutOutput::refresh() {
    if (!screen_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (Clock::now() - drawn_ >= std::chrono::seconds(1)) draw();
}

void StdoutOutput::draw() {
    const auto now = Clock::now();
    std::string screen = "\x1b[H\x1b[J";
    for (const auto& [name, block] : blocks_) {
        const long age = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - block.at).count());
        const auto interval = intervals_.find(name);
        const double every = interval != intervals_.end() ? interval->second : 1.0;
        std::string mark = "last round " + std::to_string(age) + " s ago";
        // Stale once a round is overdue by more than its interval and a second.
        if (age > static_cast<long>(2 * every) + 1) {
            char text[96];
            std::snprintf(text, sizeof text, "; STALE: no round within its %g s interval", every);
            mark += text;
        }
        screen += block.text + mark + "\n\n";
    }
    if (!status_.empty()) screen += status_ + "\n";
    waiting_.clear();
    waiting_.push_back(screen);
    drawn_ = now;
}

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
    if (screen_) {
        // Drawn again in place: every meter's latest block.
        blocks_[round.meter->name] = {text, Clock::now()};
        draw();
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
