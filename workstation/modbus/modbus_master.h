// A Modbus master of one line, through libmodbus, with one class for each
// transport (as libmodbus keeps one backend each):
//   - SerialLine: a serial line (a real port or a pseudo-terminal), Modbus
//     RTU; the line is held exclusively (TIOCEXCL and an advisory flock on
//     the device), so two masters never share it;
//   - TcpLine: Modbus TCP to a host and port;
//   - RtuOverTcpLine: Modbus RTU frames over a TCP connection, as serial
//     gateways pass them (libmodbus's RTU framing on the connected socket).
// The slave address travels with each request: several meters share a line.
// A serial line keeps 3.5 characters of silence between the end of an answer
// (or of a timeout) and the next request, whichever slave it goes to.
// Every request starts on a clean line (bytes waiting are thrown away) and
// its answer is taken only when slave, function, byte count, CRC and, on
// Modbus TCP, transaction id fit it; no read waits past the response timeout.
// On RTU framing (serial, RTU over TCP), where an answer names no request,
// an answer that repeats one of the last taken byte for byte while other
// registers were asked for is not taken: the request is asked again once the
// line has been silent for a whole timeout, and that answer is taken.
// Used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_io.h"
#include "modbus_frames.h"
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
enum class LineFault {
    None,
    NoAnswer,   // nothing in time
    Exception,  // the slave answered with an exception
    BadCrc,     // its answer failed the CRC check
    Mismatch,   // bytes that are not the answer: another unit id, a wrong length, leftovers
    Flood,      // bytes kept coming without the pause that ends a frame
    Lost,       // the device or connection is gone
    Other,
};

// The master of one line. Made by open_line() as the class of its transport;
// what they share (requests, faults, draining, reopening) is here.
class ModbusMaster : public RegisterLine {
public:
    ~ModbusMaster() override;
    ModbusMaster(const ModbusMaster&) = delete;
    ModbusMaster& operator=(const ModbusMaster&) = delete;

    // Reads `count` holding registers from `start` into `out`. On failure
    // returns false with the reason in `error` and its kind in fault(); the
    // line has been drained of late replies unless it is lost.
    bool read_registers(int start, int count, std::uint16_t* out, std::string& error) override;
    // The same from `slave`: the address travels with the request, so
    // meters on one line take turns without reconfiguring it.
    bool read_registers_of(int slave, int start, int count, std::uint16_t* out, std::string& error);

    // True after a failed read when the device itself is gone (unplugged
    // adapter, closed pseudo-terminal, path now naming another device, a
    // closed connection), not merely a meter that did not answer.
    bool lost() const { return fault_ == LineFault::Lost; }
    LineFault fault() const { return fault_; }
    // Closes the line and opens it again. Throws as open_line() does; the
    // line stays closed and lost until it succeeds.
    void reopen();
    // Another slave address on the same line.
    void set_slave(int slave);
    // What the line is, for messages: the serial device or "HOST:PORT".
    const std::string& device() const { return settings_.device; }
    // "serial device /dev/ttyUSB0" or "gateway 10.0.0.5:502".
    virtual std::string describe() const { return "gateway " + settings_.device; }

protected:
    explicit ModbusMaster(const SerialSettings& settings) : settings_(settings) {}
    friend std::unique_ptr<ModbusMaster> open_line(const SerialSettings& settings);

    // Opens the line: the transport's context, the slave and the response
    // timeout, the transport's connection, then the connect pause. Throws
    // std::runtime_error with a one-line message naming the line.
    void open();
    // A new libmodbus context of the transport, or nullptr with errno.
    virtual ::_modbus* new_context() = 0;
    // Connects the context made by new_context(); throws on failure.
    virtual void connect() = 0;
    // Closes what connect() opened; ctx_ is freed after.
    virtual void disconnect() = 0;
    // How the transport frames a request and its answer.
    virtual Framing framing() const { return Framing::Rtu; }
    // How long the line stays silent after a frame before it counts as
    // ended: 3.5 characters on RTU framing, none on Modbus TCP.
    virtual std::chrono::steady_clock::duration quiet() const { return silence_; }
    // False when the line's path now names another device than the one opened.
    virtual bool same_device_at_path() const { return true; }

    // 3.5 characters at the line's speed, 1.75 ms above 19200 baud.
    static std::chrono::steady_clock::duration character_silence(const SerialSettings& settings);
    void close();
    void keep_silence();
    // Whatever is left of a late, doubled or broken reply must not meet the
    // next request: throws it away, until the line is quiet or the timeout.
    Discarded drain(bool wait_first);
    // One request and its answer; on failure sets fault_ and `error`.
    bool exchange(int start, int count, std::uint16_t* out, std::string& error);
    // Sends `request` and reads the first frame that answers it into
    // `answer` (`have` bytes), skipping frames of other exchanges; on
    // failure sets fault_ and `error`.
    bool ask(const RegisterRequest& request, std::uint8_t (&answer)[300], std::size_t& have, std::string& error);
    // True when `bytes` are nothing but whole copies of recent answers.
    bool only_recent_answers(const Discarded& bytes) const;
    // The length of the recent answer whose start the first `have` bytes of
    // `frame` are (the whole answer once `have` reaches it), or 0.
    std::size_t recent_answer_at(const std::uint8_t* frame, std::size_t have) const;
    bool fail(LineFault fault, const std::string& why, std::string& error);

    SerialSettings settings_;
    ::_modbus* ctx_ = nullptr;
    LineFault fault_ = LineFault::None;
    // The silence the line keeps between the end of one exchange and the
    // next request: 3.5 characters, 1.75 ms above 19200 baud (serial lines).
    std::chrono::steady_clock::duration silence_{};
    std::chrono::steady_clock::time_point exchange_end_{};
    std::uint16_t transaction_ = 0;
    // True while the last request was answered and none failed since: bytes
    // found after it that are not copies of recent answers make the next
    // request fail, as that answer may not have been the one it seemed.
    bool answered_last_ = false;
    // The answers taken last on RTU framing, oldest first, kept across
    // reconnections (a gateway may pass a late copy to its next connection):
    // one that comes again for other registers is not taken at once.
    struct TakenAnswer {
        int start;
        int count;
        std::vector<std::uint8_t> bytes;  // the whole frame, slave address and CRC too
    };
    static constexpr std::size_t kRecentAnswers = 32;
    std::deque<TakenAnswer> recent_;
    // Requests in a row whose answers did not fit; a gateway's connection is
    // opened again after two, as its stream can no longer be trusted.
    int unfit_in_a_row_ = 0;
    // The slave whose request failed last, and until when its late answer
    // (or a copy) is waited out before it is asked again (RTU framing).
    int late_slave_ = -1;
    std::chrono::steady_clock::time_point late_until_{};
    bool reconnect_first_ = false;
};

// Opens the line `settings` name with the master of its transport (serial,
// Modbus TCP, RTU over TCP). Throws std::runtime_error with a one-line
// message naming the device and the failing step (for a serial line in use,
// the process that holds it where it can be found).
std::unique_ptr<ModbusMaster> open_line(const SerialSettings& settings);

}  // namespace pondrel
