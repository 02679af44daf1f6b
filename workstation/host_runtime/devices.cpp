// Host device classes: the bodies of every out-of-line operation. Each does
// the framework's own part (fields it sets, calls it makes on the device) and
// forwards the rest to the device's HostServices.
#include <utility>

#include "host_services.h"
#include "kov_controller.h"
#include "provider.h"
#include "sp_modbus.h"

using pondrel::services_for;

KovController::KovController() = default;
KovController::~KovController() = default;

Provider::~Provider() = default;
KovSPDeviceProvider::~KovSPDeviceProvider() = default;

// ---- VDeviceInterface -------------------------------------------------------

VDeviceInterface::VDeviceInterface() : data_id(0), use_controller_db(false) {}
VDeviceInterface::~VDeviceInterface() = default;

// ---- KovVDevice ---------------------------------------------------------------

KovVDevice::KovVDevice()
    : data_ready(false), report_flag(false), round_mark(0), parent(nullptr) {}
KovVDevice::~KovVDevice() = default;

int KovVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_written) {
    return services_for(this).device_io_control(*this, code, in, in_len, out, out_len, out_written);
}

int KovVDevice::InitV(KovVDevice* parent_device, unsigned int id, const Json::Value& setting) {
    services_for(this).init_v(*this, parent_device, id);
    parent = parent_device;
    data_id = id;
    return InitSetting(setting);
}

int KovVDevice::InitSetting(const Json::Value& setting) {
    return services_for(this).vdevice_init_setting(*this, setting);
}

bool KovVDevice::IsSupportDevice(const std::string& type) const {
    return services_for(this).is_support_device(*this, type);
}

int KovVDevice::SendSP(int type_code, const unsigned char* record, unsigned int len, bool urgent) {
    return services_for(this).send_sp(*this, type_code, record, len, urgent);
}

int KovVDevice::SendDelayData(int delay) { return services_for(this).send_delay_data(*this, delay); }

int KovVDevice::SendDoData(int channel, char value) {
    return services_for(this).send_do_data(*this, channel, value);
}

int KovVDevice::ReadDi(int channel) { return services_for(this).read_di(*this, channel); }

float KovVDevice::ReadAi(int channel) { return services_for(this).read_ai(*this, channel); }

float KovVDevice::Get_SP_Value(unsigned int index, const std::string& name) {
    services_for(this).get_sp_value(*this, index, name);
    return Get_Value(index, name);
}

bool KovVDevice::CheckAOReport(const std::string& name, float value) {
    return services_for(this).check_ao_report(*this, name, value);
}

int KovVDevice::CheckThreshold(const std::string& name, const std::string& text, const float& value,
                               int kind) {
    return services_for(this).check_threshold(*this, name, text, value, kind);
}

bool KovVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& values) {
    return services_for(this).do_batch_check_threshold(*this, values);
}

int KovVDevice::SaveDeviceHistory(const unsigned char* record, unsigned int len) {
    return services_for(this).save_device_history(*this, record, len);
}

// ---- KovSPDevice ----------------------------------------------------------------

KovSPDevice::KovSPDevice() : baud_rate(19200), parity(PARITY_NONE), port_open(false) {}
KovSPDevice::~KovSPDevice() = default;

int KovSPDevice::Reset() { return services_for(this).reset(*this); }

int KovSPDevice::Init(std::weak_ptr<KovController> owner, unsigned int id, const Json::Value& setting) {
    services_for(this).init(*this, id);
    controller = std::move(owner);
    data_id = id;
    return InitSetting(setting);
}

int KovSPDevice::RefreshStatus() { return services_for(this).refresh_status(*this); }

bool KovSPDevice::IsProcessing() { return false; }
bool KovSPDevice::IsStalled() { return false; }

int KovSPDevice::SendData(const unsigned char* bytes, unsigned int len) {
    return services_for(this).send_data(*this, bytes, len);
}

int KovSPDevice::SendParityData(const unsigned char* bytes, unsigned int len, EnumParity with) {
    return services_for(this).send_parity_data(*this, bytes, len, with);
}

int KovSPDevice::OpenPort() {
    const int result = services_for(this).open_port(*this);
    port_open = true;
    return result;
}

int KovSPDevice::ClosePort() {
    const int result = services_for(this).close_port(*this);
    port_open = false;
    return result;
}

// ---- SPModbus -------------------------------------------------------------------

SPModbus::SPModbus() : preset_flag(0), poll_step(0), slave_id(1), rx_payload() {}
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& setting) {
    return services_for(this).modbus_init_setting(*this, setting);
}

int SPModbus::process(unsigned char* bytes, unsigned int len) {
    return services_for(this).process(*this, bytes, len);
}

int SPModbus::modbus_read_registers(int start, int count) {
    return services_for(this).modbus_read_registers(*this, start, count);
}
