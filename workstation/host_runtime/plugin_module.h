// A device plug-in loaded the way the board's host loads it: dlopen with
// RTLD_NOW, get_providers by its plain name, the first provider that is a
// KovSPDeviceProvider. Devices it creates must be deleted before it goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "provider.h"

class KovSPDevice;

namespace pondrel {

class PluginModule {
public:
    // Throws std::runtime_error with a one-line message naming the file and
    // what was wrong with it.
    explicit PluginModule(const std::string& path);
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // A new device; the caller owns it. Throws std::runtime_error naming the
    // file when the provider throws or makes no device.
    KovSPDevice* create() const;
    // The plug-in's entry point, for callers that look at its providers.
    GetProvidersFn get_providers() const { return get_providers_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    GetProvidersFn get_providers_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    const KovSPDeviceProvider* provider_ = nullptr;
};

}  // namespace pondrel
