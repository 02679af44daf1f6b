#include "driver_harness.h"

using namespace pondrel;

namespace harness {

const PluginModule& plugin() {
    static const PluginModule module(PONDREL_PLUGIN_PATH);
    return module;
}

DriverPtr make_driver() { return DriverPtr(static_cast<Pondrel*>(plugin().create())); }

}  // namespace harness
