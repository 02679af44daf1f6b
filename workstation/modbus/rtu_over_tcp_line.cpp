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
