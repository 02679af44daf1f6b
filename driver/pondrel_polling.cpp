// The polling round: one read-registers request per block, each reply's
// bytes copied into the record unchanged (the host leaves them as native
// floats), the round completed after the energy block.
#include <cstddef>
#include <cstring>

#include "pondrel.h"

namespace {

struct Block {
    int first_register;
    int register_count;
    std::size_t record_offset;
    std::size_t bytes;
};

constexpr Block kVoltage{100, 2, offsetof(Pondrel_Data_t, voltage), sizeof(float)};
constexpr Block kCurrent{102, 36, offsetof(Pondrel_Data_t, current), kPondrelBlockBytes};
constexpr Block kPower{138, 36, offsetof(Pondrel_Data_t, power), kPondrelBlockBytes};
constexpr Block kEnergy{174, 36, offsetof(Pondrel_Data_t, energy), kPondrelBlockBytes};

static_assert(kEnergy.first_register + kEnergy.register_count == 210,
              "the four blocks cover registers 100 to 209");

}  // namespace

int Pondrel::RefreshStatus() {
    KovSPDevice::RefreshStatus();
    poll_step = kStepVoltage;
    modbus_read_registers(kVoltage.first_register, kVoltage.register_count);
    return 1;
}

int Pondrel::process_payload(tab_type /*table*/, unsigned int /*length*/) {
    switch (poll_step) {
    case kStepVoltage:
        store_block(kVoltage.record_offset, kVoltage.bytes);
        poll_step = kStepCurrent;
        modbus_read_registers(kCurrent.first_register, kCurrent.register_count);
        return 1;
    case kStepCurrent:
        store_block(kCurrent.record_offset, kCurrent.bytes);
        poll_step = kStepPower;
        modbus_read_registers(kPower.first_register, kPower.register_count);
        return 1;
    case kStepPower:
        store_block(kPower.record_offset, kPower.bytes);
        poll_step = kStepEnergy;
        modbus_read_registers(kEnergy.first_register, kEnergy.register_count);
        return 1;
    case kStepEnergy:
        store_block(kEnergy.record_offset, kEnergy.bytes);
        RoundDone();
        return 0;
    default:
        // No round in progress (a command holds the line, or none started).
        return 1;
    }
}

void Pondrel::RunCheckThreshold() {}

void Pondrel::store_block(std::size_t record_offset, std::size_t bytes) {
    static_assert(sizeof(rx_payload) >= kPondrelBlockBytes, "a block fits the reply buffer");
    std::memcpy(record_bytes() + record_offset, rx_payload, bytes);
}
