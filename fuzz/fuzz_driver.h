// Shared by the fuzz targets: the plug-in loaded as the host loads it, a fresh
// driver per input, a quiet console, and a check that aborts (so libFuzzer
// keeps the input) when an invariant breaks.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pondrel.h"
#include "provider.h"
#include "standin_host.h"

#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

namespace fuzz_support {

struct DriverDeleter {
    void operator()(Pondrel* driver) const { delete static_cast<KovSPDevice*>(driver); }
};
using DriverPtr = std::unique_ptr<Pondrel, DriverDeleter>;

inline const KovSPDeviceProvider& provider() {
    static const auto providers = [] {
        void* handle = dlopen(PONDREL_PLUGIN_PATH, RTLD_NOW);
        if (handle == nullptr) {
            std::fprintf(stderr, "dlopen: %s\n", dlerror());
            std::abort();
        }
        auto get_providers = reinterpret_cast<GetProvidersFn>(dlsym(handle, "get_providers"));
        FUZZ_CHECK(get_providers != nullptr);
        return get_providers();
    }();
    const auto* sp = dynamic_cast<const KovSPDeviceProvider*>(providers.at(0).get());
    FUZZ_CHECK(sp != nullptr);
    return *sp;
}

// A new driver, a stand-in host with an empty log, and standard output (the
// driver's console lines) sent nowhere.
inline DriverPtr fresh_driver() {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    standin::host().reset();
    return DriverPtr(static_cast<Pondrel*>(provider().create()));
}

inline bool same_record(const Pondrel_Data_t& a, const Pondrel_Data_t& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace fuzz_support
