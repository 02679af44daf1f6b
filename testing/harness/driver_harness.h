// The meter plug-in driven the way its host drives it, for the tests, fuzz
// targets and benchmarks: loaded once with dlopen (through the host
// runtime's PluginModule), drivers made by its provider and deleted through a
// host base, and rounds fed reply by reply as the host's Modbus layer does.
// The program must link and export the host runtime. Not thread-safe but
// for plugin(), which loads on first use.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include "plugin_module.h"
#include "pondrel.h"

namespace harness {

// The plug-in under test, loaded until the process ends.
const pondrel::PluginModule& plugin();

struct DriverDeleter {
    void operator()(Pondrel* driver) const { delete static_cast<KovSPDevice*>(driver); }
};
using DriverPtr = std::unique_ptr<Pondrel, DriverDeleter>;

// A new driver in its initial state.
DriverPtr make_driver();

// One reply to the outstanding request: `bytes` at the start of rx_payload
// (the rest keeps what it held), then process_payload. Returns its result.
inline int deliver(Pondrel& driver, const void* reply, std::size_t bytes,
                   SPModbus::tab_type table = SPModbus::TAB_HOLDING_REGISTERS,
                   unsigned int length = 0) {
    std::memcpy(driver.rx_payload, reply, bytes);
    return driver.process_payload(table, length);
}

// A whole round whose replies carry `values`' measurement fields. Returns
// the last reply's result: 0 when the round completed.
inline int complete_round(Pondrel& driver, const Pondrel_Data_t& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&values);
    driver.RefreshStatus();
    deliver(driver, bytes + offsetof(Pondrel_Data_t, voltage), 4);
    deliver(driver, bytes + offsetof(Pondrel_Data_t, current), kPondrelBlockBytes);
    deliver(driver, bytes + offsetof(Pondrel_Data_t, power), kPondrelBlockBytes);
    return deliver(driver, bytes + offsetof(Pondrel_Data_t, energy), kPondrelBlockBytes);
}

// A record whose every measurement is `value` (power `value` * 1000).
inline Pondrel_Data_t uniform_record(float value) {
    Pondrel_Data_t record{};
    record.voltage = value;
    for (int i = 0; i < kPondrelCircuits; ++i) {
        record.current[i] = value;
        record.power[i] = value * 1000.0f;
        record.energy[i] = value;
    }
    return record;
}

}  // namespace harness
