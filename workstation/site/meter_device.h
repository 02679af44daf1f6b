// One meter as the host controller runs it: a driver made by the plug-in's
// provider, configured from the meter's setting, its host calls answered by
// the workstation's services (its reads go to its slave on its line, its
// stored records to this object), and its completed rounds collected with
// the record it stored. Made and restored on the main thread before its line
// runs; then used on its line's thread only.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kov_sp_device.h"
#include "site_config.h"
#include "modbus_master.h"
#include "outputs.h"
#include "plugin_module.h"
#include "poller.h"
#include "record_store.h"
#include "sp_modbus.h"
#include "workstation_services.h"

namespace pondrel {

// Why a meter's driver could not be made: the plug-in's fault or the setting's.
struct MeterSetupError : std::runtime_error {
    enum class Cause { Plugin, Setting };
    MeterSetupError(Cause why, const std::string& message) : std::runtime_error(message), cause(why) {}
    Cause cause;
};

class MeterDevice {
public:
    // Makes and configures the driver. Throws MeterSetupError: of the plug-in
    // when it makes no Modbus device, of the setting when the driver
    // refuses the setting.
    MeterDevice(const PluginModule& plugin, const MeterConfig& config, const std::string& plugin_path);
    ~MeterDevice();
    MeterDevice(const MeterDevice&) = delete;
    MeterDevice& operator=(const MeterDevice&) = delete;

    const MeterConfig& config() const { return config_; }
    const MeterIdentity& identity() const { return identity_; }
    KovSPDevice& device() { return *device_; }

    // The line its requests go over from now on; nullptr while it has none.
    void attach(ModbusMaster* line) { line_ = line; }
    // The word order found for an auto meter; its configuration says so from now on.
    void set_word_order(WordOrder order) {
        poller_->set_word_order(order);
        config_.word_order = order;
        config_.word_order_auto = false;
    }
    // Hands a stored record back to the driver without storing it again.
    bool restore(const std::vector<unsigned char>& image);
    // One round; see Poller::poll_round. After a completed round,
    // take_round() gives it with its record and snapshot.
    RoundResult poll_round(const std::atomic<bool>* stop);
    std::optional<CompletedRound> take_round();

private:
    // Where the driver's stored record goes: kept for take_round().
    struct Collector : RecordStore {
        explicit Collector(MeterDevice& owner) : meter(owner) {}
        void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                    const unsigned char* record, unsigned int len) override;
        MeterDevice& meter;
    };
    // The line as the meter's own: every request goes to its slave.
    struct SlaveLine : RegisterLine {
        explicit SlaveLine(MeterDevice& owner) : meter(owner) {}
        bool read_registers(int start, int count, std::uint16_t* out, std::string& error) override;
        MeterDevice& meter;
    };

    MeterConfig config_;
    MeterIdentity identity_;
    std::unique_ptr<KovSPDevice> device_;
    ModbusMaster* line_ = nullptr;
    Collector collector_{*this};
    SlaveLine slave_line_{*this};
    std::unique_ptr<Poller> poller_;
    std::unique_ptr<WorkstationServices> services_;
    std::unique_ptr<ServicesRegistration> registration_;
    std::optional<CompletedRound> stored_;
};

}  // namespace pondrel
