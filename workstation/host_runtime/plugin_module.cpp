#include "plugin_module.h"

#include <dlfcn.h>

#include <stdexcept>

namespace pondrel {

PluginModule::PluginModule(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW);
    if (handle_ == nullptr) {
        throw std::runtime_error("cannot load plug-in " + path + ": " + dlerror());
    }
    try {
        get_providers_ = reinterpret_cast<GetProvidersFn>(dlsym(handle_, "get_providers"));
        if (get_providers_ == nullptr) {
            throw std::runtime_error("plug-in " + path + " has no get_providers");
        }
        providers_ = get_providers_();
        for (const auto& provider : providers_) {
            provider_ = dynamic_cast<const KovSPDeviceProvider*>(provider.get());
            if (provider_ != nullptr) break;
        }
        if (provider_ == nullptr) {
            throw std::runtime_error("plug-in " + path + " offers no serial-port device provider");
        }
    } catch (...) {
        providers_.clear();
        dlclose(handle_);
        throw;
    }
}

PluginModule::~PluginModule() {
    providers_.clear();
    dlclose(handle_);
}

KovSPDevice* PluginModule::create() const {
    KovSPDevice* device = nullptr;
    try {
        device = provider_->create();
    } catch (const std::exception& e) {
        throw std::runtime_error("plug-in " + path_ + " could not create a device: " + e.what());
    }
    if (device == nullptr) throw std::runtime_error("plug-in " + path_ + " could not create a device: it made none");
    return device;
}

}  // namespace pondrel
