// Who else has a device open: for the message of a program that finds its
// serial line in use. Reads /proc; finds only processes it may look into.
#pragma once

#include <string>

namespace pondrel {

// "process 1234 (pondrel-host)" for the process that holds a lock on the
// device at `path`, else the first other process that has it open, else an
// empty text.
std::string device_holder(const std::string& path);

}  // namespace pondrel
