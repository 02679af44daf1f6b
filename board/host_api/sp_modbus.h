// The host's Modbus master on a serial port. A device asks for registers with
// modbus_read_registers; the host frames and sends the request, and calls
// process_payload once the reply's register data sits at the start of
// rx_payload (first register first, two registers per native float), or
// on_error when the request failed. Adds slots 31 and 32:
//   31 process_payload  32 on_error
// All calls come on the host's serial thread.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kov_sp_device.h"

class SPModbus : public KovSPDevice {
public:
    // An int underneath, so that any table number the host passes is a valid value.
    enum tab_type : int {
        TAB_COILS = 0,
        TAB_DISCRETE_INPUTS = 1,
        TAB_HOLDING_REGISTERS = 2,
        TAB_INPUT_REGISTERS = 3,
    };

    // Largest reply data: 125 registers of two bytes, rounded up.
    static constexpr unsigned int kPayloadBytes = 256;

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& setting) override;
    int process(unsigned char* bytes, unsigned int len) override;

    // A reply to the outstanding request is in rx_payload.
    virtual int process_payload(tab_type table, unsigned int length) = 0;
    // The outstanding request failed. Prints one line and keeps no state.
    virtual int on_error() {
        std::puts("SPModbus get error");
        return 0;
    }

    // Queues a read of `count` holding registers from `start`; the answer
    // arrives later through process_payload or on_error.
    int modbus_read_registers(int start, int count);

    std::uint8_t preset_flag;  // 1: the device's own serial defaults apply
    std::int32_t poll_step;    // the device's own progress; the host leaves it alone
    std::uint8_t slave_id;
    unsigned char rx_payload[kPayloadBytes];
};
