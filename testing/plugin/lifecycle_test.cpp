// The whole life of a driver in a host, as the board's controller lives it:
// load, create, configure, rounds against the simulated meter over a
// pseudo-terminal, snapshot requests, delete, unload. Run under a memory
// checker, it shows any leak or bad access along the way. The device's host
// calls reach the workstation's host services, as in pondrel-host.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <json/writer.h>
#include <gtest/gtest.h>

#include "kov_controller.h"
#include "plugin_module.h"
#include "poller.h"
#include "modbus_master.h"
#include "simulated_meter.h"
#include "sp_modbus.h"
#include "workstation_services.h"
#include "stdout_capture.h"

using namespace pondrel;

namespace {

// The history of this life: records are taken and let go.
class DiscardingStore : public RecordStore {
public:
    void append(std::uint32_t, int, boost::posix_time::ptime, const unsigned char*, unsigned int) override {}
};

}  // namespace

TEST(Lifecycle, LoadCreateConfigurePollRequestDeleteUnload) {
    const SimulatedMeter meter(MeterServerOptions{});
    {
        PluginModule plugin(PONDREL_PLUGIN_PATH);
        std::unique_ptr<KovSPDevice> device(plugin.create());
        auto* modbus = dynamic_cast<SPModbus*>(device.get());
        ASSERT_NE(modbus, nullptr);
        const auto controller = std::make_shared<KovController>();
        Json::Value setting(Json::objectValue);
        setting["appSetting"]["b_mode"] = "2";
        device->Init(controller, 3, setting);

        SerialSettings serial;
        serial.device = meter.device_path();
        const std::unique_ptr<ModbusMaster> line = open_line(serial);
        Poller poller(*modbus, *line, WordOrder::ABCD);
        DiscardingStore store;
        WorkstationServices services(poller, store);
        const ServicesRegistration registration(device.get(), services);

        testing_support::StdoutCapture quiet;
        std::string previous;
        for (int round = 0; round < 2; ++round) {
            if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1050));
            ASSERT_TRUE(poller.poll_round().completed);
            char text[4096];
            int written = 0;
            ASSERT_EQ(device->DeviceIoControl(801, nullptr, 0, text, sizeof text, written), 0);
            const Json::Value* snapshot = nullptr;
            int address_bytes = 0;
            ASSERT_EQ(device->DeviceIoControl(803, nullptr, 0, &snapshot, sizeof snapshot, address_bytes), 0);
            const std::string current(text, static_cast<std::size_t>(written));
            EXPECT_EQ(Json::FastWriter().write(*snapshot), current);
            EXPECT_NE(current, previous);  // rebuilt in place for the new second
            previous = current;
        }
    }  // device deleted, then the plug-in unloaded
}
