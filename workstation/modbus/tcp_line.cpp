#include <unistd.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "line_io.h"
#include "transports.h"

namespace pondrel {

TcpLine::~TcpLine() { close(); }

::_modbus* TcpLine::new_context() {
    return modbus_new_tcp_pi(settings_.host.c_str(), std::to_string(settings_.port).c_str());
}

void TcpLine::connect() {
    std::string error;
    const int fd = connect_tcp(settings_.host, settings_.port, settings_.timeout_ms, error);
    if (fd < 0) throw std::runtime_error("cannot connect to " + describe() + ": " + error);
    modbus_set_socket(ctx_, fd);
}

void TcpLine::disconnect() {
    const int fd = modbus_get_socket(ctx_);
    if (fd >= 0) ::close(fd);
}

}  // namespace pondrel
