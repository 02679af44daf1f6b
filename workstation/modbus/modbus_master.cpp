#include "modbus_master.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "transports.h"

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

}  // namespace

ModbusMaster::~ModbusMaster() = default;

void ModbusMaster::open() {
    ctx_ = new_context();
    if (ctx_ == nullptr) {
        throw std::runtime_error(describe() + ": cannot create a Modbus context: " + modbus_strerror(errno));
    }
    if (modbus_set_slave(ctx_, settings_.slave) == -1) {
        const std::string reason = modbus_strerror(errno);
        close();
        throw std::runtime_error(describe() + ": bad slave address: " + reason);
    }
    const auto timeout_us = static_cast<std::uint32_t>(settings_.timeout_ms) * 1000u;
    modbus_set_response_timeout(ctx_, timeout_us / 1000000u, timeout_us % 1000000u);
    try {
        connect();
    } catch (...) {
        close();
        throw;
    }
    fault_ = LineFault::None;
    pause_ms(settings_.connect_pause_ms);
    drain();
}

void ModbusMaster::close() {
    if (ctx_ == nullptr) return;
    disconnect();
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

void ModbusMaster::drain() { modbus_flush(ctx_); }

void ModbusMaster::keep_silence() {
    const auto until = exchange_end_ + silence_;
    if (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

bool ModbusMaster::read_registers_of(int slave, int start, int count, std::uint16_t* out, std::string& error) {
    if (slave != settings_.slave) set_slave(slave);
    return read_registers(start, count, out, error);
}

bool ModbusMaster::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    if (ctx_ == nullptr) {
        error = settings_.device + " is closed";
        fault_ = LineFault::Lost;
        return false;
    }
    pause_ms(settings_.request_pause_ms);
    keep_silence();
    const int got = modbus_read_registers(ctx_, start, count, out);
    exchange_end_ = std::chrono::steady_clock::now();
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

std::unique_ptr<ModbusMaster> open_line(const SerialSettings& settings) {
    std::unique_ptr<ModbusMaster> line;
    switch (settings.transport) {
    case Transport::Serial: line = std::make_unique<SerialLine>(settings); break;
    case Transport::Tcp: line = std::make_unique<TcpLine>(settings); break;
    case Transport::RtuOverTcp: line = std::make_unique<RtuOverTcpLine>(settings); break;
    }
    line->open();
    return line;
}

}  // namespace pondrel
