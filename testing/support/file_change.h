// Waiting for what a program writes, without sleeping: a condition checked
// at once and again each time the file (or a file in the folder) is written,
// until it holds or a deadline passes. For the tests; any thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testing_support {

// True once `holds()` is true, checked now and after each write to `path`
// (a file, or any file in a folder but SQLite's shared-memory files, which
// readers write too); false if it is still false after `timeout`.
bool wait_for_change(const std::string& path, const std::function<bool()>& holds, std::chrono::milliseconds timeout);

}  // namespace testing_support
