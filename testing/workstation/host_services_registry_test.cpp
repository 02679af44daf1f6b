// The host services registry: each device finds its own services, a device
// that went leaves the others findable, anyone unregistered gets the
// default, and lookups on several threads meet registrations on another.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host_services.h"
#include "kov_vdevice.h"

using namespace pondrel;

namespace {

// Addresses to register: the registry never touches the devices.
const KovVDevice* device_at(std::size_t i) {
    struct alignas(KovVDevice) Place {};
    static const Place places[1000] = {};
    return reinterpret_cast<const KovVDevice*>(&places[i]);
}

}  // namespace

TEST(HostServicesRegistry, EachDeviceFindsItsOwnServicesThroughVacatedSlots) {
    std::vector<HostServices> services(1000);
    for (std::size_t i = 0; i < services.size(); ++i) register_services(device_at(i), &services[i]);
    for (std::size_t i = 0; i < services.size(); i += 2) unregister_services(device_at(i));
    HostServices fallback;
    set_default_services(&fallback);
    for (std::size_t i = 0; i < services.size(); ++i) {
        EXPECT_EQ(&services_for(device_at(i)), i % 2 == 0 ? &fallback : &services[i]) << i;
    }
    // Vacated slots take new registrations, and re-registering replaces.
    for (std::size_t i = 0; i < services.size(); i += 2) register_services(device_at(i), &services[i]);
    register_services(device_at(1), &services[3]);
    EXPECT_EQ(&services_for(device_at(1)), &services[3]);
    for (std::size_t i = 2; i < services.size(); ++i) EXPECT_EQ(&services_for(device_at(i)), &services[i]) << i;
    EXPECT_EQ(&default_services(), &fallback);
    for (std::size_t i = 0; i < services.size(); ++i) unregister_services(device_at(i));
    set_default_services(nullptr);
}

TEST(HostServicesRegistry, LookupsOnManyThreadsMeetRegistrationsOnAnother) {
    std::vector<HostServices> services(64);
    for (std::size_t i = 0; i < 32; ++i) register_services(device_at(i), &services[i]);
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            while (!stop) {
                for (std::size_t i = static_cast<std::size_t>(t); i < 32; i += 3) {
                    if (&services_for(device_at(i)) != &services[i]) ++wrong;
                }
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 32; i < 64; ++i) register_services(device_at(i), &services[i]);
        for (std::size_t i = 32; i < 64; ++i) unregister_services(device_at(i));
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0);
    for (std::size_t i = 0; i < 32; ++i) unregister_services(device_at(i));
}
