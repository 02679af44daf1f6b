#include "line_io.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace pondrel {

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_until(Deadline deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up, so that a wait never ends before its deadline.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Waits for `events` on fd until the deadline: true when ready.
bool wait_for(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd ready{fd, events, 0};
        const int n = ::poll(&ready, 1, milliseconds_until(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // let the read or write report it
    }
}

}  // namespace

IoResult read_some(int fd, std::uint8_t* into, std::size_t room, Deadline deadline, std::size_t& got, int& error) {
    got = 0;
    for (;;) {
        if (!wait_for(fd, POLLIN, deadline)) return IoResult::TimedOut;
        const ssize_t n = ::read(fd, into, room);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return IoResult::Ok;
        }
        if (n == 0) {
            error = ECONNRESET;  // the peer closed the connection, or the terminal hung up
            return IoResult::Gone;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Clock::now() >= deadline) return IoResult::TimedOut;
            continue;
        }
        error = errno;
        return IoResult::Gone;
    }
}

IoResult write_all(int fd, const std::uint8_t* data, std::size_t size, Deadline deadline, int& error) {
    std::size_t sent = 0;
    while (sent < size) {
        if (!wait_for(fd, POLLOUT, deadline)) return IoResult::TimedOut;
        // A connection the peer closed must not end the process with SIGPIPE.
        ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            return IoResult::Gone;
        } else if (Clock::now() >= deadline) {
            return IoResult::TimedOut;
        }
    }
    return IoResult::Ok;
}

Discarded discard_until_quiet(int fd, Clock::duration quiet, Deadline deadline, bool wait_first) {
    Discarded discarded;
    std::uint8_t chunk[256];
    bool first = true;
    Deadline last_byte = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        const Deadline until = first && !wait_first ? now : std::min(deadline, now + quiet);
        first = false;
        std::size_t got = 0;
        const IoResult result = read_some(fd, chunk, sizeof chunk, until, got, discarded.error);
        if (result == IoResult::Gone) {
            discarded.gone = true;
            return discarded;
        }
        if (result == IoResult::TimedOut) {
            discarded.quiet = until < deadline || discarded.total == 0 || Clock::now() - last_byte >= quiet;
            return discarded;
        }
        discarded.total += got;
        last_byte = Clock::now();
        const std::size_t keep = std::min(got, std::size_t{1024} - std::min<std::size_t>(1024, discarded.bytes.size()));
        discarded.bytes.insert(discarded.bytes.end(), chunk, chunk + keep);
        if (Clock::now() >= deadline) {
            discarded.quiet = false;
            return discarded;
        }
    }
}

// A TCP connection to host:port, or -1 with errno (or the resolver's text in `error`).
int connect_tcp(const std::string& host, int port, int timeout_ms, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        error = gai_strerror(resolved);
        if (resolved == EAI_NONAME || resolved == EAI_AGAIN || resolved == EAI_FAIL) {
            error += " (the host name " + host + " does not resolve: check it, or give the gateway's IP address)";
        }
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
            pollfd ready{fd, POLLOUT, 0};
            int so_error = 0;
            socklen_t length = sizeof so_error;
            if (poll(&ready, 1, timeout_ms) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length) == 0 &&
                so_error == 0) {
                const int flags = fcntl(fd, F_GETFL);
                fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
                break;
            }
            error = std::strerror(so_error != 0 ? so_error : ETIMEDOUT);
        } else {
            error = std::strerror(errno);
        }
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}


}  // namespace pondrel
