// The plug-in's entry point and its one provider. get_providers() may be
// called from any thread; each call returns a new list holding one new
// PondrelProvider, whose create() returns a new Pondrel that the caller owns.
#pragma once

#include <memory>
#include <vector>

#include "provider.h"

class PondrelProvider : public KovSPDeviceProvider {
public:
    PondrelProvider() = default;
    ~PondrelProvider() override;
    KovSPDevice* create() const override;
};

// Found by its plain name, so C linkage, though it returns a C++ type: the
// host is C++ built with the same ABI.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default")))
std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
