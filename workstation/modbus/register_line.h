// A line to one Modbus slave that reads holding registers: what a poller
// needs of a serial master, so that it can be driven by another transport or
// by a test's fake. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace pondrel {

class RegisterLine {
public:
    virtual ~RegisterLine() = default;
    // Reads `count` holding registers from `start` into `out`. On failure
    // returns false with the reason in `error`.
    virtual bool read_registers(int start, int count, std::uint16_t* out, std::string& error) = 0;
};

}  // namespace pondrel
