// The embedding parent's own host: loads the plug-in built as its
// sub-project, makes a device and deletes it.
#include <cstdio>
#include <memory>

#include "kov_sp_device.h"
#include "plugin_module.h"

int main() {
    pondrel::PluginModule plugin(PONDREL_PLUGIN_PATH);
    std::unique_ptr<KovSPDevice> device(plugin.create());
    if (!device) return 1;
    std::puts("made a device of the embedded plug-in");
    return 0;
}
