#include "rtu_master.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "device_holder.h"

namespace {

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Errors that mean the device went away rather than the meter keeping quiet.
bool device_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == ECONNRESET ||
           error == EPIPE;
}

std::runtime_error in_use(const std::string& device) {
    const std::string holder = device_holder(device);
    return std::runtime_error("serial device " + device + " is in use" +
                              (holder.empty() ? "" : " by " + holder));
}

}  // namespace

RtuMaster::RtuMaster(const SerialSettings& settings) : settings_(settings) { open(); }

RtuMaster::~RtuMaster() { close(); }

void RtuMaster::open() {
    const std::string where = "serial device " + settings_.device;
    ctx_ = modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity, 8, 1);
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
    // The RS-485 set-up (modbus_rtu_set_serial_mode) is the adapter's business
    // and fails on a pseudo-terminal, so it is never called here.
    if (modbus_connect(ctx_) == -1) {
        const int error = errno;
        const std::string reason = modbus_strerror(error);
        close();
        if (error == EBUSY) throw in_use(settings_.device);
        throw std::runtime_error("cannot open " + where + ": " + reason);
    }
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
    lost_ = false;
    pause_ms(settings_.connect_pause_ms);
    modbus_flush(ctx_);
}

void RtuMaster::close() {
    if (ctx_ == nullptr) return;
    const int fd = modbus_get_socket(ctx_);
    if (fd >= 0) ioctl(fd, TIOCNXCL);
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
}

void RtuMaster::reopen() {
    close();
    lost_ = true;
    open();
}

bool RtuMaster::same_device_at_path() const {
    struct stat now {};
    if (stat(settings_.device.c_str(), &now) != 0) return false;
    return static_cast<unsigned long long>(now.st_rdev) == device_id_;
}

bool RtuMaster::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    if (ctx_ == nullptr) {
        error = "serial device " + settings_.device + " is closed";
        lost_ = true;
        return false;
    }
    pause_ms(settings_.request_pause_ms);
    const int got = modbus_read_registers(ctx_, start, count, out);
    if (got == count) return true;
    const int reason = errno;
    error = got == -1 ? modbus_strerror(reason) : "short reply";
    if (got == -1 && (device_gone(reason) || !same_device_at_path())) {
        lost_ = true;
        return false;
    }
    // Whatever is left of a late or broken reply must not meet the next request.
    modbus_flush(ctx_);
    return false;
}
