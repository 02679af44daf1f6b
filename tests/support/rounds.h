// Drives a loaded driver through polling rounds as the host's Modbus layer
// does: the reply's bytes go to the start of rx_payload, then process_payload.
#pragma once

#include <cstring>
#include <vector>

#include "pondrel.h"

namespace testing_support {

// One reply to the outstanding request. Bytes past `reply` keep what they held.
inline int deliver(Pondrel& driver, const void* reply, std::size_t bytes,
                   SPModbus::tab_type table = SPModbus::TAB_HOLDING_REGISTERS,
                   unsigned int length = 0) {
    std::memcpy(driver.rx_payload, reply, bytes);
    return driver.process_payload(table, length);
}

// A whole round whose replies carry `values`' measurement fields.
inline void complete_round(Pondrel& driver, const Pondrel_Data_t& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&values);
    driver.RefreshStatus();
    deliver(driver, bytes + offsetof(Pondrel_Data_t, voltage), 4);
    deliver(driver, bytes + offsetof(Pondrel_Data_t, current), 72);
    deliver(driver, bytes + offsetof(Pondrel_Data_t, power), 72);
    deliver(driver, bytes + offsetof(Pondrel_Data_t, energy), 72);
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

}  // namespace testing_support
