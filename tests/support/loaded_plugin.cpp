#include "loaded_plugin.h"

#include <dlfcn.h>

#include <stdexcept>

namespace testing_support {

const char* plugin_path() { return PONDREL_PLUGIN_PATH; }

LoadedPlugin& LoadedPlugin::instance() {
    static LoadedPlugin plugin;
    return plugin;
}

LoadedPlugin::LoadedPlugin() {
    handle_ = dlopen(plugin_path(), RTLD_NOW);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    void* symbol = dlsym(handle_, "get_providers");
    if (symbol == nullptr) throw std::runtime_error("get_providers not found");
    get_providers_ = reinterpret_cast<GetProvidersFn>(symbol);
}

DriverPtr LoadedPlugin::create_driver() const {
    const auto providers = get_providers_();
    if (providers.size() != 1) throw std::runtime_error("expected one provider");
    const auto* sp_provider = dynamic_cast<const KovSPDeviceProvider*>(providers.front().get());
    if (sp_provider == nullptr) throw std::runtime_error("provider is not a KovSPDeviceProvider");
    return DriverPtr(static_cast<Pondrel*>(sp_provider->create()));
}

}  // namespace testing_support
