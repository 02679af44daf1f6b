// How the workstation library says what happens: one status line at a time,
// with its severity (syslog's numbers), handed to the program, which decides
// where the line goes and which severities it shows. Any thread.
#pragma once

#include <functional>
#include <string>

namespace pondrel {

enum class Severity { Error = 3, Warning = 4, Info = 6, Debug = 7 };

using Report = std::function<void(Severity, const std::string&)>;

}  // namespace pondrel
