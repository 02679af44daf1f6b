// The 18-circuit meter as every part of this project knows it, stated once:
// its register map (holding registers 100 to 209, one 32-bit float per two
// registers, read in four blocks), its circuit count, the keys of the
// driver's JSON snapshot, and the texts Get_Value answers with. Shared by the
// driver, the simulated meter, the workstation programs and the tests; no
// other code spells a block, a key or a status text. Constants only.
#pragma once

namespace pondrel_meter {

constexpr int kCircuits = 18;

// Holding registers 100 to 209.
constexpr int kFirstRegister = 100;
constexpr int kRegisterCount = 110;

struct RegisterBlock {
    int first_register;
    int register_count;
};
// A round reads these in this order: the voltage, then each circuit's
// current, power and energy.
constexpr RegisterBlock kVoltageBlock = {100, 2};
constexpr RegisterBlock kCurrentBlock = {102, 2 * kCircuits};
constexpr RegisterBlock kPowerBlock = {138, 2 * kCircuits};
constexpr RegisterBlock kEnergyBlock = {174, 2 * kCircuits};
constexpr RegisterBlock kBlocks[] = {kVoltageBlock, kCurrentBlock, kPowerBlock, kEnergyBlock};
constexpr int kBlockCount = 4;
static_assert(kEnergyBlock.first_register + kEnergyBlock.register_count == kFirstRegister + kRegisterCount,
              "the four blocks cover the register map");

// The snapshot's keys (UTF-8): the voltage (V), each circuit's current (A),
// power (kW) and energy (kWh) as the key followed by the circuit's number 1
// to 18, and the round's local time ("Y-M-D h:m:s", no padding).
constexpr char kVoltageKey[] = "\xE7\x94\xB5\xE5\x8E\x8B";                   // 电压
constexpr char kCurrentKey[] = "\xE7\x94\xB5\xE6\xB5\x81";                   // 电流
constexpr char kPowerKey[] = "\xE5\x8A\x9F\xE7\x8E\x87";                     // 功率
constexpr char kEnergyKey[] = "\xE7\x94\xB5\xE5\xBA\xA6";                    // 电度
constexpr char kTimeKey[] = "\xE6\x9B\xB4\xE6\x96\xB0\xE6\x97\xB6\xE9\x97\xB4";  // 更新时间

// What Get_Value throws as std::out_of_range: no data yet, data 61 s old or
// older, and fresh data (the meter has no single named values).
constexpr char kNotReady[] = "\xE6\x95\xB0\xE6\x8D\xAE\xE6\x9C\xAA\xE5\xB0\xB1\xE7\xBB\xAA";    // 数据未就绪
constexpr char kTimedOut[] = "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6";    // 数据已超时
constexpr char kNoSuchValue[] = "\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE5\x8F\x98\xE9\x87\x8F";  // 不支持变量

}  // namespace pondrel_meter
