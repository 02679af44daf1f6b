// The guard around a workstation program's work: whatever ends it becomes one
// line "PROGRAM: message" on standard error and the exit code of its kind.
// Main thread only.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "exit_codes.h"
#include "report.h"

namespace pondrel {

// A failure that ends the program with `code` and a one-line message.
struct Failure : std::runtime_error {
    Failure(int exit_code, const std::string& message) : std::runtime_error(message), code(exit_code) {}
    int code;
};

// Runs `body` and returns its exit code; a Failure ends it with the
// failure's code, running out of memory or any other exception with
// kExitInternal, each reported as one line.
int guarded_main(const char* program, const std::function<int()>& body);

// "PROGRAM: line" on standard error, for status lines and failures, unless
// `severity` is below the log level. When standard error is the journal
// (JOURNAL_STREAM names it), the line starts with its syslog priority,
// "<3>" to "<7>", for the journal to file it by. Any thread.
void report(const char* program, const std::string& line, Severity severity = Severity::Info);

// The least severe lines report() shows: Info unless set (at start, before
// any thread reports).
void set_log_level(Severity level);
// Where report() sends its lines instead of standard error while set (a
// screen that draws them in place); empty: standard error again. The sink
// is called under report()'s lock, from any thread.
void set_report_sink(std::function<void(const std::string& line)> sink);
// The least severe lines report() shows now.
Severity log_level();
// "error", "warning", "info" or "debug"; nothing for another text.
std::optional<Severity> parse_log_level(const std::string& text);

}  // namespace pondrel
