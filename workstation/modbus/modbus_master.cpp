#include "modbus_master.h"

#include <netdb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "device_holder.h"

namespace pondrel {

namespace {

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Errors that mean the device or connection went away rather than the meter
// keeping quiet.
bool device_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == ECONNRESET ||
           error == EPIPE || error == ENOTCONN || error == ECONNREFUSED;
}

LineFault fault_of(int error) {
    if (error == ETIMEDOUT) return LineFault::NoAnswer;
    if (error == EMBBADCRC) return LineFault::BadCrc;
    if (error > MODBUS_ENOBASE && error < EMBXGTAR + 1) return LineFault::Exception;
    if (device_gone(error)) return LineFault::Lost;
    return LineFault::Other;
}

std::runtime_error in_use(const std::string& device) {
    const std::string holder = device_holder(device);
    return std::runtime_error("serial device " + device + " is in use" + (holder.empty() ? "" : " by " + holder));
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

ModbusMaster::ModbusMaster(const SerialSettings& settings) : settings_(settings) { open(); }

ModbusMaster::~ModbusMaster() { close(); }

void ModbusMaster::open() {
    const bool serial = settings_.transport == Transport::Serial;
    const std::string where = (serial ? "serial device " : "gateway ") + settings_.device;
    if (settings_.transport == Transport::Tcp) {
        ctx_ = modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str());
    } else {
        const char* device = serial ? settings_.device.c_str() : "/dev/null";
        ctx_ = modbus_new_rtu(device, settings_.baud, settings_.parity, settings_.data_bits, settings_.stop_bits);
    }
    if (ctx_ == nullptr) {
        throw std::runtime_error(where + ": cannot create a Modbus context: " + modbus_strerror(errno));
    }
    if (modbus_set_slave(ctx_, settings_.slave) == -1) {
        const std::string reason = modbus_strerror(errno);
        close();
        throw std::runtime_error(where + ": bad slave address: " + reason);
    }
    const auto timeout_us = static_cast<std::uint32_t>(settings_.timeout_ms) * 1000u;
    modbus_set_response_timeout(ctx_, timeout_us / 1000000u, timeout_us % 1000000u);
    if (settings_.transport == Transport::RtuOverTcp) {
        // RTU framing on a connected socket: libmodbus's RTU backend reads and
        // writes whatever descriptor it is given.
        std::string error;
        const int fd = connect_tcp(settings_.host, settings_.port, settings_.timeout_ms, error);
        if (fd < 0) {
            close();
            throw std::runtime_error("cannot connect to " + where + ": " + error);
        }
        modbus_set_socket(ctx_, fd);
    } else if (modbus_connect(ctx_) == -1) {
        // The RS-485 set-up (modbus_rtu_set_serial_mode) is the adapter's
        // business and fails on a pseudo-terminal, so it is never called here.
        const int error = errno;
        const std::string reason = modbus_strerror(error);
        close();
        if (serial && error == EBUSY) throw in_use(settings_.device);
        throw std::runtime_error("cannot " + std::string(serial ? "open " : "connect to ") + where + ": " + reason);
    }
    if (serial) {
        // Exclusive, as serial tools hold a line: other opens fail (TIOCEXCL;
        // root may still open it) and other masters' flock fails.
        const int fd = modbus_get_socket(ctx_);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close();
            throw in_use(settings_.device);
        }
        ioctl(fd, TIOCEXCL);
        struct stat opened {};
        device_id_ = fstat(fd, &opened) == 0 ? static_cast<unsigned long long>(opened.st_rdev) : 0;
    }
    fault_ = LineFault::None;
    pause_ms(settings_.connect_pause_ms);
    drain();
}

void ModbusMaster::close() {
    if (ctx_ == nullptr) return;
    const int fd = modbus_get_socket(ctx_);
    if (settings_.transport == Transport::Serial) {
        if (fd >= 0) ioctl(fd, TIOCNXCL);
        modbus_close(ctx_);
    } else if (fd >= 0) {
        ::close(fd);
    }
    modbus_free(ctx_);
    ctx_ = nullptr;
}

void ModbusMaster::reopen() {
    close();
    fault_ = LineFault::Lost;
    open();
}

void ModbusMaster::set_slave(int slave) {
    settings_.slave = slave;
    if (ctx_ != nullptr) modbus_set_slave(ctx_, slave);
}

bool ModbusMaster::same_device_at_path() const {
    if (settings_.transport != Transport::Serial) return true;
    struct stat now {};
    if (stat(settings_.device.c_str(), &now) != 0) return false;
    return static_cast<unsigned long long>(now.st_rdev) == device_id_;
}

// Whatever is left of a late or broken reply must not meet the next request.
void ModbusMaster::drain() {
    if (settings_.transport != Transport::RtuOverTcp) {
        modbus_flush(ctx_);
        return;
    }
    const int fd = modbus_get_socket(ctx_);
    char scrap[256];
    while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
}

bool ModbusMaster::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    if (ctx_ == nullptr) {
        error = settings_.device + " is closed";
        fault_ = LineFault::Lost;
        return false;
    }
    pause_ms(settings_.request_pause_ms);
    const int got = modbus_read_registers(ctx_, start, count, out);
    if (got == count) {
        fault_ = LineFault::None;
        return true;
    }
    const int reason = errno;
    error = got == -1 ? modbus_strerror(reason) : "short reply";
    fault_ = got == -1 ? fault_of(reason) : LineFault::Other;
    if (got == -1 && fault_ != LineFault::Lost && !same_device_at_path()) fault_ = LineFault::Lost;
    if (fault_ != LineFault::Lost) drain();
    return false;
}

}  // namespace pondrel
