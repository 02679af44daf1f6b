// A symbolic link to the simulated meter's pseudo-terminal, so that a test or
// a user can name it by a fixed path. Main thread only.
#pragma once

#include <string>

namespace pondrel {

// Makes `link` a symbolic link to `device`. An existing path is replaced only
// when it is itself a link to a pseudo-terminal (left by an earlier run);
// anything else there is refused and left alone. Throws std::runtime_error
// naming the link and what is wrong.
void make_pty_link(const std::string& device, const std::string& link);

}  // namespace pondrel
