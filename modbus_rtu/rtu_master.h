// A Modbus RTU master on one serial line (a real port or a pseudo-terminal),
// through libmodbus. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "register_line.h"

struct SerialSettings {
    std::string device;
    int baud = 9600;
    char parity = 'N';  // 'N', 'E' or 'O'
    int slave = 1;
    int timeout_ms = 500;         // response timeout
    int connect_pause_ms = 0;     // quiet time after opening, for slow meters
    int request_pause_ms = 0;     // quiet time before each request
};

class RtuMaster : public RegisterLine {
public:
    // Opens and configures the line. Throws std::runtime_error with a
    // one-line message naming the device and the failing step.
    explicit RtuMaster(const SerialSettings& settings);
    ~RtuMaster() override;
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

    // Reads `count` holding registers from `start` into `out`. On failure
    // returns false with the reason in `error`; the line has been flushed.
    bool read_registers(int start, int count, std::uint16_t* out, std::string& error) override;

private:
    SerialSettings settings_;
    struct _modbus* ctx_ = nullptr;
};
