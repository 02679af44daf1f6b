#include "rogue_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "modbus_frames.h"

namespace testing_support {

namespace {

void write_all(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

RoguePeer::RoguePeer(Kind kind, std::vector<Misdeed> script, int late_ms, int flood_ms)
    : kind_(kind), script_(std::move(script)), late_ms_(late_ms), flood_ms_(flood_ms) {
    if (kind_ == Kind::SerialPty) {
        pty_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(pty_fd_);
        unlockpt(pty_fd_);
        termios raw{};
        tcgetattr(pty_fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(pty_fd_, TCSANOW, &raw);
        address_ = ptsname(pty_fd_);
    } else {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listen_fd_, 4);
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size);
        address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    thread_ = std::thread([this] { run(); });
}

RoguePeer::~RoguePeer() {
    stop_ = true;
    thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (pty_fd_ >= 0) ::close(pty_fd_);
}

void RoguePeer::run() {
    if (kind_ == Kind::SerialPty) {
        serve(pty_fd_);
        return;
    }
    while (!stop_) {
        pollfd ready{listen_fd_, POLLIN, 0};
        if (poll(&ready, 1, 20) != 1) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        serve(fd);
        ::close(fd);
    }
}

void RoguePeer::send_due_copies(int fd) {
    const auto now = std::chrono::steady_clock::now();
    while (!copies_.empty() && copies_.front().first <= now) {
        write_all(fd, copies_.front().second);
        copies_.erase(copies_.begin());
    }
}

bool RoguePeer::read_exactly(int fd, unsigned char* into, std::size_t size) {
    std::size_t have = 0;
    while (have < size) {
        pollfd ready{fd, POLLIN, 0};
        if (stop_) return false;
        send_due_copies(fd);
        int wait_ms = 20;
        if (!copies_.empty()) {
            const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(copies_.front().first -
                                                                                     std::chrono::steady_clock::now());
            wait_ms = std::max(0, std::min(wait_ms, static_cast<int>(until.count()) + 1));
        }
        if (poll(&ready, 1, wait_ms) != 1) continue;
        const ssize_t n = ::read(fd, into + have, size - have);
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    return true;
}

void RoguePeer::serve(int fd) {
    const bool tcp = kind_ == Kind::Tcp;
    const pondrel::Framing framing = tcp ? pondrel::Framing::Tcp : pondrel::Framing::Rtu;
    unsigned char request[12];
    while (!stop_) {
        if (!read_exactly(fd, request, tcp ? 12 : 8)) return;
        const unsigned char* pdu = request + (tcp ? 7 : 1);
        int slave = request[tcp ? 6 : 0];
        std::uint16_t transaction = tcp ? static_cast<std::uint16_t>((request[0] << 8) | request[1]) : 0;
        const int start = (pdu[1] << 8) | pdu[2];
        const int count = (pdu[3] << 8) | pdu[4];
        const Misdeed misdeed = requests_ < script_.size() ? script_[requests_] : Misdeed::None;
        ++requests_;
        if (misdeed == Misdeed::OtherAddress) ++slave;
        if (misdeed == Misdeed::OtherTransaction) transaction = static_cast<std::uint16_t>(transaction + 1000);

        std::vector<std::uint8_t> answer;
        if (tcp) {
            const int following = 3 + 2 * count;
            answer = {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0,
                      static_cast<std::uint8_t>(following >> 8), static_cast<std::uint8_t>(following),
                      static_cast<std::uint8_t>(slave)};
        } else {
            answer = {static_cast<std::uint8_t>(slave)};
        }
        answer.push_back(0x03);
        answer.push_back(static_cast<std::uint8_t>(2 * count));
        for (int i = 0; i < count; ++i) {
            const int value = misdeed == Misdeed::Zeros ? 0 : start + i;
            answer.push_back(static_cast<std::uint8_t>(value >> 8));
            answer.push_back(static_cast<std::uint8_t>(value));
        }
        if (framing == pondrel::Framing::Rtu) {
            const std::uint16_t crc = pondrel::modbus_crc(answer.data(), answer.size());
            answer.push_back(static_cast<std::uint8_t>(crc & 0xff));
            answer.push_back(static_cast<std::uint8_t>(crc >> 8));
        }

        switch (misdeed) {
        case Misdeed::Silent: break;
        case Misdeed::Double: {
            std::vector<std::uint8_t> twice = answer;
            twice.insert(twice.end(), answer.begin(), answer.end());
            write_all(fd, twice);
            break;
        }
        case Misdeed::DoubleLate:
            write_all(fd, answer);
            copies_.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(late_ms_), answer);
            break;
        case Misdeed::Late:
            std::this_thread::sleep_for(std::chrono::milliseconds(late_ms_));
            write_all(fd, answer);
            break;
        case Misdeed::Leftover:
            write_all(fd, answer);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            write_all(fd, {0x01, 0x03, 0x24, 0x00, 0x66, 0x00, 0x67});
            break;
        case Misdeed::Flood: {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(flood_ms_);
            const std::vector<std::uint8_t> junk(64, 0x5a);
            while (!stop_ && std::chrono::steady_clock::now() < until) {
                write_all(fd, junk);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            break;
        }
        case Misdeed::None:
        case Misdeed::Zeros:
        case Misdeed::OtherAddress:
        case Misdeed::OtherTransaction: write_all(fd, answer); break;
        }
    }
}

}  // namespace testing_support
