#include "host_services.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
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

// The registry: a fixed table of (device, services) slots, open addressing
// from a hash of the device's address. Lookups take no lock: they read the
// slots' atomics, and a device's key is published after its services.
// Registering and unregistering take the writers' mutex. A vacated slot keeps
// a marker, so that lookups of devices placed after it still find them.
constexpr std::size_t kSlots = 4096;  // a power of two

struct Slot {
    std::atomic<const KovVDevice*> device{nullptr};
    std::atomic<HostServices*> services{nullptr};
};

struct Registry {
    std::mutex writers;
    std::atomic<HostServices*> fallback{nullptr};
    Slot slots[kSlots];
};

Registry& registry() {
    static Registry the_registry;
    return the_registry;
}

// Marks a slot whose device went; never the address of a device.
const KovVDevice* vacated() {
    struct alignas(KovVDevice) Marker {};
    static const Marker marker{};
    return reinterpret_cast<const KovVDevice*>(&marker);
}

std::size_t home_of(const KovVDevice* device) {
    std::uint64_t v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(device));
    v = (v ^ (v >> 33)) * 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    return static_cast<std::size_t>(v) & (kSlots - 1);
}

HostServices& builtin_services() {
    static HostServices quiet;
    return quiet;
}

HostServices& fallback_services(const Registry& r) {
    HostServices* fallback = r.fallback.load(std::memory_order_acquire);
    return fallback != nullptr ? *fallback : builtin_services();
}

}  // namespace

HostServices& services_for(const KovVDevice* device) {
    Registry& r = registry();
    if (device == nullptr) return fallback_services(r);
    std::size_t at = home_of(device);
    for (std::size_t probes = 0; probes < kSlots; ++probes, at = (at + 1) & (kSlots - 1)) {
        const KovVDevice* key = r.slots[at].device.load(std::memory_order_acquire);
        if (key == nullptr) break;
        if (key == device) {
            HostServices* services = r.slots[at].services.load(std::memory_order_acquire);
            return services != nullptr ? *services : fallback_services(r);
        }
    }
    return fallback_services(r);
}

void set_default_services(HostServices* services) {
    registry().fallback.store(services, std::memory_order_release);
}

HostServices& default_services() { return services_for(nullptr); }

void register_services(const KovVDevice* device, HostServices* services) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.writers);
    Slot* free = nullptr;
    std::size_t at = home_of(device);
    for (std::size_t probes = 0; probes < kSlots; ++probes, at = (at + 1) & (kSlots - 1)) {
        Slot& slot = r.slots[at];
        const KovVDevice* key = slot.device.load(std::memory_order_relaxed);
        if (key == device) {
            slot.services.store(services, std::memory_order_release);
            return;
        }
        if (key == vacated() && free == nullptr) free = &slot;
        if (key == nullptr) {
            if (free == nullptr) free = &slot;
            break;
        }
    }
    if (free == nullptr) throw std::length_error("more than 4096 devices registered with host services");
    free->services.store(services, std::memory_order_release);
    free->device.store(device, std::memory_order_release);
}

void unregister_services(const KovVDevice* device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.writers);
    std::size_t at = home_of(device);
    for (std::size_t probes = 0; probes < kSlots; ++probes, at = (at + 1) & (kSlots - 1)) {
        Slot& slot = r.slots[at];
        const KovVDevice* key = slot.device.load(std::memory_order_relaxed);
        if (key == nullptr) return;
        if (key == device) {
            slot.services.store(nullptr, std::memory_order_release);
            slot.device.store(vacated(), std::memory_order_release);
            return;
        }
    }
}

}  // namespace pondrel
