#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "transports.h"

namespace pondrel {

namespace {

// A TCP connection to host:port, or -1 with errno (or the resolver's text in `error`).
int connect_tcp(const std::string& host, int port, int timeout_ms, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        error = gai_strerror(resolved);
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

}  // namespace

RtuOverTcpLine::~RtuOverTcpLine() { close(); }

::_modbus* RtuOverTcpLine::new_context() {
    return modbus_new_rtu("/dev/null", settings_.baud, settings_.parity, settings_.data_bits, settings_.stop_bits);
}

// RTU framing on a connected socket: libmodbus's RTU backend reads and writes
// whatever descriptor it is given.
void RtuOverTcpLine::connect() {
    std::string error;
    const int fd = connect_tcp(settings_.host, settings_.port, settings_.timeout_ms, error);
    if (fd < 0) throw std::runtime_error("cannot connect to " + describe() + ": " + error);
    modbus_set_socket(ctx_, fd);
}

void RtuOverTcpLine::disconnect() {
    const int fd = modbus_get_socket(ctx_);
    if (fd >= 0) ::close(fd);
}

}  // namespace pondrel
