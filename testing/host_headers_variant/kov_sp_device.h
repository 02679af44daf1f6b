// The host's serial-port device: owns the port and its settings. Adds slots
// 23 to 30 after KovVDevice's:
//   23 RefreshStatus  24 process  25 IsProcessing  26 IsStalled  27 SendData
//   28 SendParityData  29 OpenPort  30 ClosePort
#pragma once

#include <cstdint>
#include <string>

#include "kov_vdevice.h"

enum EnumParity {
    PARITY_NONE = 0,
    PARITY_ODD = 1,
    PARITY_EVEN = 2,
    PARITY_MARK = 3,
    PARITY_SPACE = 4,
};

class KovSPDevice : public KovVDevice {
public:
    KovSPDevice();
    ~KovSPDevice() override;

    int Reset() override;
    int Init(std::weak_ptr<KovController> controller, unsigned int id,
             const Json::Value& setting) override;

    // Starts a polling round on the port. Returns 1 when the port is usable.
    virtual int RefreshStatus();
    // Takes `len` raw bytes received on the port. Returns the bytes consumed.
    virtual int process(unsigned char* bytes, unsigned int len) = 0;
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* bytes, unsigned int len);
    virtual int SendParityData(const unsigned char* bytes, unsigned int len,
                               EnumParity parity);
    // Opens the serial port with the current settings. Returns 1 when open.
    virtual int OpenPort();
    virtual int ClosePort();

    // Host-only operations.
    bool IsOpen() const { return port_open; }
    int DrainPort(int timeout_ms);

    std::int32_t baud_rate;
    EnumParity parity;
    std::string port_name;
    bool port_open;
};
