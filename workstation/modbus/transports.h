// The masters of the three transports, behind ModbusMaster; made only by
// open_line(). Internal to the Modbus library.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>

#include "modbus_master.h"

namespace pondrel {

// Modbus RTU on a serial device, held exclusively.
class SerialLine : public ModbusMaster {
public:
    explicit SerialLine(const SerialSettings& settings);
    ~SerialLine() override;
    std::string describe() const override { return "serial device " + settings_.device; }

private:
    ::_modbus* new_context() override;
    void connect() override;
    void disconnect() override;
    bool same_device_at_path() const override;

    unsigned long long device_id_ = 0;  // st_rdev of the serial device opened
};

// Modbus TCP to a gateway or meter.
class TcpLine : public ModbusMaster {
public:
    explicit TcpLine(const SerialSettings& settings) : ModbusMaster(settings) {}
    ~TcpLine() override;

private:
    ::_modbus* new_context() override;
    void connect() override;
    void disconnect() override;
    Framing framing() const override { return Framing::Tcp; }
    std::chrono::steady_clock::duration quiet() const override { return {}; }
};

// Modbus RTU frames over a TCP connection to a serial gateway.
class RtuOverTcpLine : public ModbusMaster {
public:
    explicit RtuOverTcpLine(const SerialSettings& settings) : ModbusMaster(settings) {}
    ~RtuOverTcpLine() override;

private:
    ::_modbus* new_context() override;
    void connect() override;
    void disconnect() override;
    // The gateway's serial side ends frames with its silence; over TCP at
    // least 5 ms, as the network adds its own gaps.
    std::chrono::steady_clock::duration quiet() const override {
        return std::max<std::chrono::steady_clock::duration>(character_silence(settings_), std::chrono::milliseconds(5));
    }
};

}  // namespace pondrel
