#include "pondrel_provider.h"

#include <utility>

#include "pondrel.h"

PondrelProvider::~PondrelProvider() = default;

KovSPDevice* PondrelProvider::create() const { return new Pondrel(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<PondrelProvider> provider = std::make_shared<PondrelProvider>();
    providers.push_back(std::shared_ptr<Provider>(std::move(provider)));
    return providers;
}
