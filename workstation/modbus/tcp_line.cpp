#include <unistd.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "transports.h"

namespace pondrel {

TcpLine::~TcpLine() { close(); }

::_modbus* TcpLine::new_context() {
    return modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str());
}

void TcpLine::connect() {
    if (modbus_connect(ctx_) == -1) {
        throw std::runtime_error("cannot connect to " + describe() + ": " + modbus_strerror(errno));
    }
}

void TcpLine::disconnect() {
    const int fd = modbus_get_socket(ctx_);
    if (fd >= 0) ::close(fd);
}

}  // namespace pondrel
