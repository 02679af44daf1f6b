// This process does not provide the host framework, so the plug-in, which
// must bundle none of it, cannot be loaded.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

TEST(PluginIsolation, LoadingWithoutTheHostFrameworkFailsOnAnUndefinedHostSymbol) {
    void* handle = dlopen(PONDREL_PLUGIN_PATH, RTLD_NOW);
    if (handle != nullptr) dlclose(handle);
    ASSERT_EQ(handle, nullptr) << "pondrel.so loaded without a host";
    const std::string error = dlerror();
    EXPECT_NE(error.find("undefined symbol"), std::string::npos) << error;
}
