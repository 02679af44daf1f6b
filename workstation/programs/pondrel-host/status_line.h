// The status lines of pondrel-host on standard error, "pondrel-host: ...".
#pragma once

#include <string>

#include "program_main.h"

namespace pondrel {

inline void status_line(const std::string& line) { report("pondrel-host", line); }

}  // namespace pondrel
