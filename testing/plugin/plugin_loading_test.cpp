#include <cstring>
#include <memory>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "driver_fixture.h"


namespace {

bool all_zero(const Pondrel_Data_t& record) {
    const Pondrel_Data_t zero{};
    return std::memcmp(&record, &zero, sizeof record) == 0;
}

}  // namespace

TEST(PluginLoading, GetProvidersReturnsOneNewPondrelProviderPerCall) {
    const auto get_providers = harness::plugin().get_providers();
    const auto first = get_providers();
    const auto second = get_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    ASSERT_NE(first[0], nullptr);
    EXPECT_NE(first[0].get(), second[0].get());
    const Provider& provider = *first[0];
    EXPECT_STREQ(typeid(provider).name(), "15PondrelProvider");
    EXPECT_NE(dynamic_cast<const KovSPDeviceProvider*>(first[0].get()), nullptr);
}

TEST(PluginLoading, CreateMakesDistinctDriversInTheirInitialState) {
    auto providers = harness::plugin().get_providers()();
    const auto* provider = dynamic_cast<const KovSPDeviceProvider*>(providers[0].get());
    ASSERT_NE(provider, nullptr);
    std::unique_ptr<KovSPDevice> a(provider->create());
    std::unique_ptr<KovSPDevice> b(provider->create());
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());

    // The provider list may go; the drivers stay intact.
    providers.clear();

    for (KovSPDevice* device : {a.get(), b.get()}) {
        auto* driver = static_cast<Pondrel*>(device);
        EXPECT_EQ(driver->DeviceType(), "pondrel");
        EXPECT_EQ(driver->baud_rate, 9600);
        EXPECT_EQ(driver->preset_flag, 1);
        EXPECT_EQ(driver->control_result, -1);
        EXPECT_EQ(driver->b_mode, 1);
        EXPECT_TRUE(driver->snapshot.isNull());
        EXPECT_TRUE(driver->snapshot_time.is_not_a_date_time());
        EXPECT_TRUE(all_zero(driver->data));
        EXPECT_EQ(driver->DataId(), 0u);
    }
    // unique_ptr<KovSPDevice> deletes through a host base.
}

TEST(PluginLoading, DriverDeletedThroughTheRootInterfaceReleasesEverything) {
    // Under a leak checker this shows a destructor chain that misses a part.
    auto driver = harness::make_driver();
    VDeviceInterface* root = driver.release();
    delete root;
}
