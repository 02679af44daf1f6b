// A Modbus RTU master on one serial line (a real port or a pseudo-terminal),
// through libmodbus. The line is held exclusively (TIOCEXCL and an advisory
// flock on the device), so two masters never share it. Used by one thread at
// a time.
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
    // one-line message naming the device and the failing step (for a line in
    // use, the process that holds it where it can be found).
    explicit RtuMaster(const SerialSettings& settings);
    ~RtuMaster() override;
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

    // Reads `count` holding registers from `start` into `out`. On failure
    // returns false with the reason in `error`; the line has been flushed
    // unless it is lost.
    bool read_registers(int start, int count, std::uint16_t* out, std::string& error) override;

    // True after a failed read when the device itself is gone (unplugged
    // adapter, closed pseudo-terminal, path now naming another device), not
    // merely a meter that did not answer.
    bool lost() const { return lost_; }
    // Closes the line and opens the same path again. Throws as the
    // constructor does; the line stays closed and lost until it succeeds.
    void reopen();
    const std::string& device() const { return settings_.device; }

private:
    void open();
    void close();
    bool same_device_at_path() const;

    SerialSettings settings_;
    struct _modbus* ctx_ = nullptr;
    bool lost_ = false;
    unsigned long long device_id_ = 0;  // st_rdev of the device opened
};
