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

// In round order; block i is awaited in step kStepVoltage + i.
using pondrel_meter::kBlockCount;
constexpr Block kBlocks[] = {
    {pondrel_meter::kVoltageBlock.first_register, pondrel_meter::kVoltageBlock.register_count,
     offsetof(Pondrel_Data_t, voltage), sizeof(float)},
    {pondrel_meter::kCurrentBlock.first_register, pondrel_meter::kCurrentBlock.register_count,
     offsetof(Pondrel_Data_t, current), kPondrelBlockBytes},
    {pondrel_meter::kPowerBlock.first_register, pondrel_meter::kPowerBlock.register_count,
     offsetof(Pondrel_Data_t, power), kPondrelBlockBytes},
    {pondrel_meter::kEnergyBlock.first_register, pondrel_meter::kEnergyBlock.register_count,
     offsetof(Pondrel_Data_t, energy), kPondrelBlockBytes},
};

static_assert(Pondrel::kStepEnergy - Pondrel::kStepVoltage + 1 == kBlockCount,
              "one step per block");
static_assert(kBlocks[0].register_count * 2 == sizeof(float) &&
                  kBlocks[1].register_count * 2 == kPondrelBlockBytes,
              "two registers a float");

}  // namespace

int Pondrel::RefreshStatus() {
    KovSPDevice::RefreshStatus();
    poll_step = kStepVoltage;
    modbus_read_registers(kBlocks[0].first_register, kBlocks[0].register_count);
    return 1;
}

int Pondrel::process_payload(tab_type /*table*/, unsigned int /*length*/) {
    const std::int32_t step = poll_step;
    // Any other step: no round in progress (a command holds the line, or none started).
    if (step < kStepVoltage || step > kStepEnergy) return 1;
    const int index = step - kStepVoltage;
    const Block& block = kBlocks[index];
    static_assert(sizeof(rx_payload) >= kPondrelBlockBytes, "a block fits the reply buffer");
    std::memcpy(record_bytes() + block.record_offset, rx_payload, block.bytes);
    if (step == kStepEnergy) {
        RoundDone();
        return 0;
    }
    const Block& next = kBlocks[index + 1];
    poll_step = step + 1;
    modbus_read_registers(next.first_register, next.register_count);
    return 1;
}

void Pondrel::RunCheckThreshold() {}
