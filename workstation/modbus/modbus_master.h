// A Modbus master talking to one slave, through libmodbus, over one of:
//   - a serial line (a real port or a pseudo-terminal), Modbus RTU; the line
//     is held exclusively (TIOCEXCL and an advisory flock on the device), so
//     two masters never share it;
//   - Modbus TCP to a host and port;
//   - Modbus RTU frames over a TCP connection, as serial gateways pass them
//     (libmodbus's RTU framing on the connected socket).
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "register_line.h"

struct _modbus;

namespace pondrel {

enum class Transport { Serial, Tcp, RtuOverTcp };

struct SerialSettings {
    Transport transport = Transport::Serial;
    std::string device;           // serial device; for TCP, "HOST:PORT" as given
    std::string host;             // TCP host
    int port = 502;               // TCP port
    int baud = 9600;
    char parity = 'N';            // 'N', 'E' or 'O'
    int data_bits = 8;            // 7 or 8
    int stop_bits = 1;            // 1 or 2
    int slave = 1;
    int timeout_ms = 500;         // response timeout
    int connect_pause_ms = 0;     // quiet time after opening, for slow meters
    int request_pause_ms = 0;     // quiet time before each request
};

// What went wrong with the last request, for telling a user its likely causes.
enum class LineFault { None, NoAnswer, Exception, BadCrc, Lost, Other };

class ModbusMaster : public RegisterLine {
public:
    // Opens and configures the line. Throws std::runtime_error with a
    // one-line message naming the device and the failing step (for a serial
    // line in use, the process that holds it where it can be found).
    explicit ModbusMaster(const SerialSettings& settings);
    ~ModbusMaster() override;
    ModbusMaster(const ModbusMaster&) = delete;
    ModbusMaster& operator=(const ModbusMaster&) = delete;

    // Reads `count` holding registers from `start` into `out`. On failure
    // returns false with the reason in `error` and its kind in fault(); the
    // line has been drained of late replies unless it is lost.
    bool read_registers(int start, int count, std::uint16_t* out, std::string& error) override;

    // True after a failed read when the device itself is gone (unplugged
    // adapter, closed pseudo-terminal, path now naming another device, a
    // closed connection), not merely a meter that did not answer.
    bool lost() const { return fault_ == LineFault::Lost; }
    LineFault fault() const { return fault_; }
    // Closes the line and opens it again. Throws as the constructor does;
    // the line stays closed and lost until it succeeds.
    void reopen();
    // Another slave address on the same line.
    void set_slave(int slave);
    // What the line is, for messages: the serial device or "HOST:PORT".
    const std::string& device() const { return settings_.device; }
    // "serial device /dev/ttyUSB0" or "gateway 10.0.0.5:502".
    std::string describe() const {
        return (settings_.transport == Transport::Serial ? "serial device " : "gateway ") + settings_.device;
    }

private:
    void open();
    void close();
    bool same_device_at_path() const;
    void drain();

    SerialSettings settings_;
    ::_modbus* ctx_ = nullptr;
    LineFault fault_ = LineFault::None;
    unsigned long long device_id_ = 0;  // st_rdev of the serial device opened
};

}  // namespace pondrel
