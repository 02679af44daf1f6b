// The refusal of a command line: one line that names the option and what was
// wrong with it. Thrown by the programs' parsers (command_line.h, each
// program's options); main turns it into exit code 2.
#pragma once

#include <stdexcept>

namespace pondrel {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace pondrel
