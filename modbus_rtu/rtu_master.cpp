#include "rtu_master.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

RtuMaster::RtuMaster(const SerialSettings& settings) : settings_(settings) {
    const std::string where = "serial device " + settings.device;
    ctx_ = modbus_new_rtu(settings.device.c_str(), settings.baud, settings.parity, 8, 1);
    if (ctx_ == nullptr) {
        throw std::runtime_error(where + ": cannot create a Modbus context: " + modbus_strerror(errno));
    }
    if (modbus_set_slave(ctx_, settings.slave) == -1) {
        const std::string reason = modbus_strerror(errno);
        modbus_free(ctx_);
        throw std::runtime_error(where + ": bad slave address: " + reason);
    }
    const auto timeout_us = static_cast<std::uint32_t>(settings.timeout_ms) * 1000u;
    modbus_set_response_timeout(ctx_, timeout_us / 1000000u, timeout_us % 1000000u);
    // The RS-485 set-up (modbus_rtu_set_serial_mode) is the adapter's business
    // and fails on a pseudo-terminal, so it is never called here.
    if (modbus_connect(ctx_) == -1) {
        const std::string reason = modbus_strerror(errno);
        modbus_free(ctx_);
        throw std::runtime_error("cannot open " + where + ": " + reason);
    }
    pause_ms(settings.connect_pause_ms);
    modbus_flush(ctx_);
}

RtuMaster::~RtuMaster() {
    modbus_close(ctx_);
    modbus_free(ctx_);
}

bool RtuMaster::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    pause_ms(settings_.request_pause_ms);
    const int got = modbus_read_registers(ctx_, start, count, out);
    if (got == count) return true;
    error = got == -1 ? modbus_strerror(errno) : "short reply";
    // Whatever is left of a late or broken reply must not meet the next request.
    modbus_flush(ctx_);
    return false;
}
