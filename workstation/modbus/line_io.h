// Reading and writing a line's descriptor against a deadline, never longer:
// what a master needs to keep a late, doubled or flooding peer from holding
// it up. Internal to the Modbus library; one thread per descriptor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pondrel {

using Deadline = std::chrono::steady_clock::time_point;

enum class IoResult {
    Ok,        // bytes moved
    TimedOut,  // the deadline came first
    Gone,      // the device or connection is gone; errno-like code in `error`
};

// Waits until bytes can be read or `deadline`, then reads at most `room`.
IoResult read_some(int fd, std::uint8_t* into, std::size_t room, Deadline deadline, std::size_t& got, int& error);

// Writes all of `size` bytes by `deadline`.
IoResult write_all(int fd, const std::uint8_t* data, std::size_t size, Deadline deadline, int& error);

// What discard_until_quiet() threw away.
struct Discarded {
    std::vector<std::uint8_t> bytes;  // the first bytes thrown away (at most 1 KiB)
    std::size_t total = 0;
    bool quiet = true;                // false: bytes kept coming until the deadline
    bool gone = false;
    int error = 0;
};

// Throws away what the line has for us until it stays silent for `quiet`,
// or `deadline`. Returns at once when nothing is waiting and `wait_first`
// is false.
Discarded discard_until_quiet(int fd, std::chrono::steady_clock::duration quiet, Deadline deadline,
                              bool wait_first);

// A TCP connection to host:port within `timeout_ms`, blocking, or -1 with
// what went wrong in `error` (a name that does not resolve says so).
int connect_tcp(const std::string& host, int port, int timeout_ms, std::string& error);

}  // namespace pondrel
