// The plug-in loaded as the host loads it, for benchmarks and footprint
// figures: a quiet stand-in host, fresh drivers, rounds fed from a record.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "pondrel.h"
#include "provider.h"
#include "standin_host.h"

namespace bench_host {

inline const KovSPDeviceProvider& provider() {
    static const auto providers = [] {
        void* handle = dlopen(PONDREL_PLUGIN_PATH, RTLD_NOW);
        if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        auto get_providers = reinterpret_cast<GetProvidersFn>(dlsym(handle, "get_providers"));
        return get_providers();
    }();
    return dynamic_cast<const KovSPDeviceProvider&>(*providers.at(0));
}

inline Pondrel* create_driver() {
    standin::host().quiet = true;
    return static_cast<Pondrel*>(provider().create());
}

inline void destroy(Pondrel* driver) { delete static_cast<KovSPDevice*>(driver); }

// Readings for every field, as a meter would send them.
inline Pondrel_Data_t sample_record() {
    Pondrel_Data_t record{};
    record.voltage = 229.7f;
    for (int i = 0; i < kPondrelCircuits; ++i) {
        record.current[i] = 1.25f + 0.5f * static_cast<float>(i);
        record.power[i] = 287.1f + 114.9f * static_cast<float>(i);
        record.energy[i] = 1234.5f + 10.0f * static_cast<float>(i);
    }
    return record;
}

// One whole round: RefreshStatus and the four replies.
inline int round(Pondrel& driver, const Pondrel_Data_t& values) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&values);
    driver.RefreshStatus();
    std::memcpy(driver.rx_payload, bytes + 4, 4);
    driver.process_payload(SPModbus::TAB_HOLDING_REGISTERS, 2);
    std::memcpy(driver.rx_payload, bytes + 8, 72);
    driver.process_payload(SPModbus::TAB_HOLDING_REGISTERS, 36);
    std::memcpy(driver.rx_payload, bytes + 80, 72);
    driver.process_payload(SPModbus::TAB_HOLDING_REGISTERS, 36);
    std::memcpy(driver.rx_payload, bytes + 152, 72);
    return driver.process_payload(SPModbus::TAB_HOLDING_REGISTERS, 36);
}

}  // namespace bench_host
