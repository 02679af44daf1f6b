#include "host_services.h"

#include <mutex>
#include <utility>

namespace pondrel {

HostServices::~HostServices() = default;

int HostServices::device_io_control(KovVDevice&, int, const void*, int, void*, int, int&) { return 0; }
void HostServices::init_v(KovVDevice&, KovVDevice*, unsigned int) {}
int HostServices::vdevice_init_setting(KovVDevice&, const Json::Value&) { return 0; }
bool HostServices::is_support_device(const KovVDevice& device, const std::string& type) {
    return type == device.device_type;
}
int HostServices::send_sp(KovVDevice&, int, const unsigned char*, unsigned int, bool) { return 1; }
int HostServices::send_delay_data(KovVDevice&, int) { return 0; }
int HostServices::send_do_data(KovVDevice&, int, char) { return 0; }
int HostServices::read_di(KovVDevice&, int) { return 0; }
float HostServices::read_ai(KovVDevice&, int) { return 0.0f; }
void HostServices::get_sp_value(KovVDevice&, unsigned int, const std::string&) {}
bool HostServices::check_ao_report(KovVDevice&, const std::string&, float) { return false; }
int HostServices::check_threshold(KovVDevice&, const std::string&, const std::string&, const float&, int) {
    return 0;
}
bool HostServices::do_batch_check_threshold(KovVDevice&, const std::vector<rule_value>&) { return false; }
int HostServices::save_device_history(KovVDevice&, const unsigned char*, unsigned int) { return 1; }

int HostServices::reset(KovSPDevice&) { return 1; }
void HostServices::init(KovSPDevice&, unsigned int) {}
int HostServices::refresh_status(KovSPDevice&) { return 1; }
int HostServices::send_data(KovSPDevice&, const unsigned char*, unsigned int len) {
    return static_cast<int>(len);
}
int HostServices::send_parity_data(KovSPDevice&, const unsigned char*, unsigned int len, EnumParity) {
    return static_cast<int>(len);
}
int HostServices::open_port(KovSPDevice&) { return 1; }
int HostServices::close_port(KovSPDevice&) { return 1; }

int HostServices::modbus_init_setting(SPModbus&, const Json::Value&) { return 0; }
int HostServices::process(SPModbus&, unsigned char*, unsigned int len) { return static_cast<int>(len); }
int HostServices::modbus_read_registers(SPModbus&, int, int) { return 0; }

void HostServices::get_ttime(boost::posix_time::ptime, const ttime_t&) {}

namespace {

struct Registry {
    std::mutex mutex;
    HostServices* fallback = nullptr;
    std::vector<std::pair<const KovVDevice*, HostServices*>> devices;
};

Registry& registry() {
    static Registry the_registry;
    return the_registry;
}

HostServices& builtin_services() {
    static HostServices quiet;
    return quiet;
}

}  // namespace

HostServices& services_for(const KovVDevice* device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& [registered, services] : r.devices) {
        if (registered == device) return *services;
    }
    return r.fallback != nullptr ? *r.fallback : builtin_services();
}

void set_default_services(HostServices* services) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.fallback = services;
}

HostServices& default_services() { return services_for(nullptr); }

void register_services(const KovVDevice* device, HostServices* services) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto& entry : r.devices) {
        if (entry.first == device) {
            entry.second = services;
            return;
        }
    }
    r.devices.emplace_back(device, services);
}

void unregister_services(const KovVDevice* device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.devices.begin(); it != r.devices.end(); ++it) {
        if (it->first == device) {
            r.devices.erase(it);
            return;
        }
    }
}

}  // namespace pondrel
