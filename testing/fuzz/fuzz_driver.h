// Shared by the fuzz targets: a fresh driver per input, a quiet console, and a check that aborts (so libFuzzer
// keeps the input) when an invariant breaks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_harness.h"
#include "recording_host.h"

#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

namespace fuzz_support {

// A new driver, the recording host (installed on first use) with an empty log, and standard output (the
// driver's console lines) sent nowhere.
inline harness::DriverPtr fresh_driver() {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    static const bool installed = (recorder::install_recorder(), true);
    (void)quiet;
    (void)installed;
    recorder::host().reset();
    return harness::make_driver();
}

inline bool same_record(const Pondrel_Data_t& a, const Pondrel_Data_t& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace fuzz_support
