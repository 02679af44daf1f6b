#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <stdexcept>

#include "device_holder.h"
#include "transports.h"

namespace pondrel {

namespace {

std::runtime_error in_use(const std::string& device) {
    const std::string holder = device_holder(device);
    return std::runtime_error("serial device " + device + " is in use" + (holder.empty() ? "" : " by " + holder));
}

}  // namespace

SerialLine::SerialLine(const SerialSettings& settings) : ModbusMaster(settings) {
    silence_ = character_silence(settings_);
}

SerialLine::~SerialLine() { close(); }

::_modbus* SerialLine::new_context() {
    return modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity, settings_.data_bits,
                          settings_.stop_bits);
}

void SerialLine::connect() {
    // The RS-485 set-up (modbus_rtu_set_serial_mode) is the adapter's
    // business and fails on a pseudo-terminal, so it is never called here.
    if (modbus_connect(ctx_) == -1) {
        const int error = errno;
        if (error == EBUSY) throw in_use(settings_.device);
        if (error == EACCES) {
            throw std::runtime_error("cannot open " + describe() + ": " + modbus_strerror(error) +
                                     " (serial devices belong to the group dialout: sudo usermod -aG dialout " +
                                     "$USER, then log in again)");
        }
        throw std::runtime_error("cannot open " + describe() + ": " + modbus_strerror(error));
    }
    // Exclusive, as serial tools hold a line: other opens fail (TIOCEXCL;
    // root may still open it) and other masters' flock fails.
    const int fd = modbus_get_socket(ctx_);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) throw in_use(settings_.device);
    ioctl(fd, TIOCEXCL);
    struct stat opened {};
    device_id_ = fstat(fd, &opened) == 0 ? static_cast<unsigned long long>(opened.st_rdev) : 0;
}

void SerialLine::disconnect() {
    const int fd = modbus_get_socket(ctx_);
    if (fd >= 0) ioctl(fd, TIOCNXCL);
    modbus_close(ctx_);
}

bool SerialLine::same_device_at_path() const {
    struct stat now {};
    if (stat(settings_.device.c_str(), &now) != 0) return false;
    return static_cast<unsigned long long>(now.st_rdev) == device_id_;
}

}  // namespace pondrel
