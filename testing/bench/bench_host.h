// For benchmarks and footprint figures: drivers of the plug-in with an empty
// host (the base HostServices: it answers, logs nothing and allocates
// nothing), and readings for every field of the record.
#pragma once

#include "driver_harness.h"
#include "host_services.h"

namespace bench_host {

// A new driver; the host is the empty one.
inline Pondrel* create_driver() {
    static pondrel::HostServices empty_host;
    pondrel::set_default_services(&empty_host);
    return harness::make_driver().release();
}

inline void destroy(Pondrel* driver) { harness::DriverDeleter()(driver); }

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

}  // namespace bench_host
