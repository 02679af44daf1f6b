// A Modbus slave that misbehaves on purpose, for the tests: on a
// pseudo-terminal (RTU framing) or a loopback TCP port (Modbus TCP, or RTU
// frames over TCP, one connection at a time). It answers reads of holding
// registers with registers equal to their address, so an answer taken for
// the wrong request shows, and does one misdeed a request from a script.
// Runs on its own thread from construction to destruction.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

enum class Misdeed {
    None,
    Double,            // the answer twice, back to back
    DoubleLate,        // the answer, and its copy `late_ms` later, whatever
                       // requests come meanwhile (a gateway that repeats)
    Zeros,             // an answer whose registers are all 0
    Late,              // the answer after `late_ms`
    OtherAddress,      // the answer from the next slave address (unit id)
    OtherTransaction,  // the answer to another transaction (Modbus TCP)
    Leftover,          // the answer, then 7 stray bytes 30 ms later
    Flood,             // bytes without a pause for `flood_ms`, no answer
    Silent,            // no answer
};

class RoguePeer {
public:
    enum class Kind { SerialPty, Tcp, RtuOverTcp };

    // `script[i]` is the misdeed for the i-th request; None after its end.
    RoguePeer(Kind kind, std::vector<Misdeed> script, int late_ms = 300, int flood_ms = 500);
    ~RoguePeer();
    RoguePeer(const RoguePeer&) = delete;
    RoguePeer& operator=(const RoguePeer&) = delete;

    // The pseudo-terminal's path, or "127.0.0.1:PORT".
    const std::string& address() const { return address_; }
    // Connections accepted so far (TCP kinds).
    int connections() const { return connections_; }

private:
    void run();
    void serve(int fd);
    bool read_exactly(int fd, unsigned char* into, std::size_t size);
    // Sends the copies of DoubleLate whose time has come.
    void send_due_copies(int fd);

    Kind kind_;
    std::vector<Misdeed> script_;
    int late_ms_;
    int flood_ms_;
    int listen_fd_ = -1;
    int pty_fd_ = -1;
    std::string address_;
    std::size_t requests_ = 0;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::vector<std::uint8_t>>> copies_;
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testing_support
