// Loads pondrel.so into the test process the way the host does (dlopen with
// RTLD_NOW, get_providers by its plain name, dynamic_cast of the provider)
// and makes drivers from it. The plug-in stays loaded until the process ends.
#pragma once

#include <memory>
#include <string>

#include "pondrel.h"
#include "provider.h"

namespace testing_support {

// Path of the plug-in under test, baked in by the build.
const char* plugin_path();

struct DriverDeleter {
    // Deletes through the host base, as the host does.
    void operator()(Pondrel* driver) const { delete static_cast<KovSPDevice*>(driver); }
};
using DriverPtr = std::unique_ptr<Pondrel, DriverDeleter>;

class LoadedPlugin {
public:
    static LoadedPlugin& instance();

    GetProvidersFn get_providers() const { return get_providers_; }
    // A new driver from a new provider.
    DriverPtr create_driver() const;

private:
    LoadedPlugin();
    void* handle_ = nullptr;
    GetProvidersFn get_providers_ = nullptr;
};

inline DriverPtr make_driver() { return LoadedPlugin::instance().create_driver(); }

}  // namespace testing_support
