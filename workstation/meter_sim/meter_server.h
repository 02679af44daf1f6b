// Simulated meters on one line: Modbus RTU slaves on the master side of a
// new pseudo-terminal (or behind a TCP port, as a gateway: Modbus TCP, or RTU
// frames over TCP; one connection at a time, the next waiting until it
// closes), each serving holding registers 100 to 209 from
// meter_model under its own slave address, with its own rounds. Masters open
// device_path() like any serial port. Frames for addresses no meter here has
// are left alone, as on a bus with other devices. Each read that starts at
// register 100 (a new polling round) moves that meter to its next round, its
// energy counters rising by what its power delivered since the round before:
// over the time between the two reads, times `speed`, or over a fixed
// `round_seconds` a round for runs that must be reproducible.
//
// With a line speed (line_baud), the line is paced as a real one: a request
// occupies the line for its bytes' character times (10 bits a character for
// 8N1, 11 with parity or two stop bits), the answer starts 3.5 character
// times after the request's last byte, and each answer byte leaves no
// earlier than one character time after the one before, scheduled against a
// monotonic clock. A request that arrives faster than the line could carry
// it is still served.
//
// Faults for tests: silent (no answer), exception (server failure), crc (an
// answer whose CRC is wrong), slow (answers after slow_ms), absurd (every
// register 0xFFFF: no float of it is a number), double (each answer sent
// again double_ms after it, as a gateway that repeats itself). The fault file, when given,
// is read before every request; its first word names the fault ("none" or
// empty: healthy).
//
// serve() runs on one thread until `stop` is set; the rest is not thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "word_order.h"

struct _modbus;

namespace pondrel {

enum class MeterFault { None, Silent, Exception, BadCrc, Slow, Absurd, Double };

std::optional<MeterFault> parse_meter_fault(const std::string& text);

// "ID[,ID...]", each ID an address or a range FROM-TO, each 1 to 247, none
// twice ("1-4,7"). Throws std::invalid_argument with a one-line message
// ("bad value for --slave: ...").
std::vector<int> parse_slave_list(const std::string& text);

// Faults as given: "KIND" for every slave, "SLAVE=KIND" for one; a slave's
// own fault wins over the one of every slave.
struct FaultPlan {
    MeterFault every = MeterFault::None;
    std::map<int, MeterFault> of_slave;
    MeterFault of(int slave) const;
};
// Adds one "KIND" or "SLAVE=KIND" to `plan`; false when it is neither.
bool add_fault(const std::string& text, FaultPlan& plan);

// Where the meters are reached.
enum class MeterAccess { Pty, Tcp, RtuOverTcp };

struct MeterServerOptions {
    MeterAccess access = MeterAccess::Pty;
    std::string listen_host = "127.0.0.1";  // TCP kinds
    int listen_port = 0;                     // TCP kinds; 0: any free port
    WordOrder order = WordOrder::ABCD;
    std::vector<int> slaves = {1};  // one meter per address, 1 to 247
    FaultPlan faults;
    std::string fault_file;  // read before every request, one fault a line; empty: `faults` hold
    int slow_ms = 1500;
    int double_ms = 50;  // the double fault's copy follows its answer this much later
    int line_baud = 0;       // 0: bytes move at once
    double speed = 1;          // meter time runs this many times as fast as the clock
    double round_seconds = 0;  // > 0: each round lasts this much meter time, whatever the clock says
    int bits_per_char = 10;  // 8N1; 11 with parity or two stop bits
};

class MeterServer {
public:
    // Opens the pseudo-terminal pair. Throws std::runtime_error on failure.
    explicit MeterServer(const MeterServerOptions& options);
    ~MeterServer();
    MeterServer(const MeterServer&) = delete;
    MeterServer& operator=(const MeterServer&) = delete;

    // The terminal's path, or "HOST:PORT" of the TCP kinds.
    const std::string& device_path() const { return device_path_; }
    // Answers requests until `stop` becomes true (checked every 100 ms).
    void serve(const std::atomic<bool>& stop);

private:
    using Clock = std::chrono::steady_clock;
    struct Meter;

    MeterFault current_fault(int slave) const;
    Clock::duration chars(double count) const;
    std::size_t frame_length(const std::vector<std::uint8_t>& bytes) const;
    void handle(const std::vector<std::uint8_t>& frame, Clock::time_point first_byte, Clock::time_point last_byte);
    std::vector<std::uint8_t> framed_reply(Meter& meter, const std::uint8_t* query, int length, bool exception);
    void transmit(std::vector<std::uint8_t> reply, Clock::time_point request_end);
    void listen_on_tcp();
    void open_terminal();
    void close_all();
    // Takes the Modbus TCP frames at the start of `pending` to the meters.
    void take_tcp_frames(std::vector<std::uint8_t>& pending, Clock::time_point first_byte, Clock::time_point last_byte);

    MeterServerOptions options_;
    int master_fd_ = -1;  // the line: the terminal's master side, or the TCP connection
    int listen_fd_ = -1;
    std::uint16_t transaction_ = 0;  // of the Modbus TCP request being answered
    int slave_fd_ = -1;  // kept open so the line stays up between masters
    std::string device_path_;
    ::_modbus* ctx_ = nullptr;
    std::vector<std::unique_ptr<Meter>> meters_;
    Clock::time_point line_free_{};  // when the paced line may carry the next request
    // The double fault's copies, each with when it goes out, in that order.
    std::deque<std::pair<Clock::time_point, std::vector<std::uint8_t>>> copies_;
};

}  // namespace pondrel
