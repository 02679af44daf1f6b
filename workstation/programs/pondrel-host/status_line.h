// The status lines of pondrel-host on standard error, "pondrel-host: ...".
#pragma once

#include <string>

#include "program_main.h"

namespace pondrel {

inline void status_line(const std::string& line, Severity severity = Severity::Info) {
    report("pondrel-host", line, severity);
}

// status_line as the library's Report.
inline void status_report(Severity severity, const std::string& line) { status_line(line, severity); }

}  // namespace pondrel
