// Device providers: a plug-in's get_providers() hands the host a list of
// these; the host converts each to the kind it knows (dynamic_cast) before
// asking it to create devices.
#pragma once

#include <memory>
#include <vector>

class KovSPDevice;

class Provider {
public:
    Provider() = default;
    virtual ~Provider();
};

class KovSPDeviceProvider : public Provider {
public:
    KovSPDeviceProvider() = default;
    ~KovSPDeviceProvider() override;
    // Returns a new device in its initial state. The caller owns it and
    // deletes it through any of its bases.
    virtual KovSPDevice* create() const = 0;
};

// The one entry point of a device plug-in, looked up by this plain name.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
