#include "meter_device.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <stdexcept>

#include "device_status.h"
#include "kov_controller.h"

namespace pondrel {

MeterDevice::MeterDevice(const PluginModule& plugin, const MeterConfig& config, const std::string& plugin_path)
    : config_(config), identity_{config.name, config.line, config.slave, config.data_id, config.series.empty() ? config.name : config.series} {
    try {
        device_.reset(plugin.create());
    } catch (const std::exception& e) {
        throw MeterSetupError(MeterSetupError::Cause::Plugin, e.what());
    }
    auto* modbus = dynamic_cast<SPModbus*>(device_.get());
    if (modbus == nullptr) {
        throw MeterSetupError(MeterSetupError::Cause::Plugin, "plug-in " + plugin_path + " made a device that is not a Modbus device");
    }
    const auto controller = std::make_shared<KovController>();
    try {
        device_->Init(controller, config.data_id, config.setting);
    } catch (const std::exception& e) {
        throw MeterSetupError(MeterSetupError::Cause::Setting, "the device refused " + config.setting_source + ": " + e.what());
    }
    poller_ = std::make_unique<Poller>(*modbus, slave_line_, config.word_order);
    services_ = std::make_unique<WorkstationServices>(*poller_, collector_);
    registration_ = std::make_unique<ServicesRegistration>(device_.get(), *services_);
}

MeterDevice::~MeterDevice() {
    registration_.reset();
    device_.reset();
}

bool MeterDevice::restore(const std::vector<unsigned char>& image) { return services_->restore(*device_, image) != 0; }

RoundResult MeterDevice::poll_round(const std::atomic<bool>* stop) {
    stored_.reset();
    return poller_->poll_round(stop);
}

std::optional<CompletedRound> MeterDevice::take_round() {
    if (!stored_) return std::nullopt;
    std::optional<CompletedRound> round = std::move(stored_);
    stored_.reset();
    round->snapshot = snapshot_text(*device_);
    return round;
}

void MeterDevice::Collector::append(std::uint32_t, int type_code, boost::posix_time::ptime saved_at,
                                    const unsigned char* record, unsigned int len) {
    CompletedRound round;
    round.meter = &meter.identity_;
    round.type_code = type_code;
    // The driver stamps whole seconds; within its second, the round's own
    // time is the clock's now (rounds under a second apart keep their order
    // and their own times).
    round.saved_at = saved_at;
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    if (!saved_at.is_special() && now >= saved_at && now - saved_at < boost::posix_time::seconds(1)) {
        round.saved_at = saved_at + boost::posix_time::milliseconds((now - saved_at).total_milliseconds());
    }
    round.record.assign(record, record + len);
    meter.stored_ = std::move(round);
}

bool MeterDevice::SlaveLine::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    if (meter.line_ == nullptr) {
        error = "the line is not open";
        return false;
    }
    return meter.line_->read_registers_of(meter.config_.slave, start, count, out, error);
}

}  // namespace pondrel
