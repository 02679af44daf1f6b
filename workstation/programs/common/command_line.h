// The workstation programs' command lines, declared with CLI11: typed
// options, their ranges and choices, groups and the help text come from one
// declaration. What this adds is the programs' own words: every refusal is
// one UsageError line ("bad value for --baud: 'fast' (a whole number from 50
// to 4000000)", "unknown option '--bogus' (see --help)"), and --help and
// --version print to standard output. Main thread only.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "usage_error.h"

namespace pondrel {

// An application with -h/--help, --version ("PROGRAM VERSION") and the
// programs' help layout. `usage` is the synopsis after "usage: ",
// `description` what the program does; `footer` ends the help text.
void set_up_command_line(CLI::App& app, const std::string& usage, const std::string& description,
                         const std::string& footer, const std::string& version);

// Parses `argv`. Returns false when --help or --version was given (and its
// text printed), true when the program should go on. Throws UsageError for
// a bad value, a missing value, an unknown option, an argument nobody
// takes, or two options that exclude each other.
bool parse_command_line(CLI::App& app, int argc, const char* const* argv);

// Validators whose refusal reads "'TEXT' (WHAT)".
// A whole number from `low` to `high`.
CLI::Validator whole_number(long long low, long long high);
// A number of seconds from 0 to `high`.
CLI::Validator seconds_up_to(double high);
// One of `choices`, exactly; `what` lists them ("N, E or O").
CLI::Validator one_of(const std::vector<std::string>& choices, const std::string& what);
// Any text but the empty one ("an empty path").
CLI::Validator non_empty(const std::string& what);

// Reads a whole number from `low` to `high`, as whole_number() accepts it;
// throws UsageError for `option` otherwise.
long long whole_number_of(const std::string& text, const std::string& option, long long low, long long high);

}  // namespace pondrel
