// Who else has a device open: for the message of a program that finds its
// serial line in use. Reads /proc; finds only processes it may look into.
#pragma once

#include <string>

// "process 1234 (pondrel-host)" for the first other process that has the
// device at `path` open, or an empty text when none can be found.
std::string device_holder(const std::string& path);
