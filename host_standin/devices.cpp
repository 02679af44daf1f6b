// Host device classes: the stand-in bodies of every out-of-line operation.
// Each logs itself to standin::host() and answers from its HostAnswers.
#include <cstring>
#include <utility>

#include <json/writer.h>

#include "kov_controller.h"
#include "provider.h"
#include "sp_modbus.h"
#include "standin_host.h"

namespace {

standin::HostCall call(const char* op, const void* device) {
    standin::HostCall c;
    c.op = op;
    c.device = device;
    return c;
}

std::string text_of(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

}  // namespace

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
    standin::HostCall c = call("DeviceIoControl", this);
    c.ints = {code, in_len, out_len, out_written};
    c.pointers = {in, out, &out_written};
    standin::host().record(std::move(c));
    auto& answers = standin::host().answers;
    if (answers.device_io_control_writes) answers.device_io_control_writes(code, out, out_len, out_written);
    return answers.device_io_control;
}

int KovVDevice::InitV(KovVDevice* parent_device, unsigned int id, const Json::Value& setting) {
    standin::HostCall c = call("InitV", this);
    c.ints = {id};
    c.pointers = {parent_device};
    standin::host().record(std::move(c));
    parent = parent_device;
    data_id = id;
    return InitSetting(setting);
}

int KovVDevice::InitSetting(const Json::Value& setting) {
    standin::HostCall c = call("KovVDevice::InitSetting", this);
    c.texts = {text_of(setting)};
    standin::host().record(std::move(c));
    return standin::host().answers.init_setting;
}

bool KovVDevice::IsSupportDevice(const std::string& type) const {
    standin::HostCall c = call("IsSupportDevice", this);
    c.texts = {type};
    standin::host().record(std::move(c));
    return type == device_type;
}

int KovVDevice::SendSP(int type_code, const unsigned char* record, unsigned int len, bool urgent) {
    standin::HostCall c = call("SendSP", this);
    c.ints = {type_code, len, urgent ? 1 : 0};
    c.bytes.assign(record, record + len);
    c.pointers = {record};
    standin::host().record(std::move(c));
    return 1;
}

int KovVDevice::SendDelayData(int delay) {
    standin::HostCall c = call("SendDelayData", this);
    c.ints = {delay};
    standin::host().record(std::move(c));
    return 0;
}

int KovVDevice::SendDoData(int channel, char value) {
    standin::HostCall c = call("SendDoData", this);
    c.ints = {channel, value};
    standin::host().record(std::move(c));
    return 0;
}

int KovVDevice::ReadDi(int channel) {
    standin::HostCall c = call("ReadDi", this);
    c.ints = {channel};
    standin::host().record(std::move(c));
    return 0;
}

float KovVDevice::ReadAi(int channel) {
    standin::HostCall c = call("ReadAi", this);
    c.ints = {channel};
    standin::host().record(std::move(c));
    return 0.0f;
}

float KovVDevice::Get_SP_Value(unsigned int index, const std::string& name) {
    standin::HostCall c = call("Get_SP_Value", this);
    c.ints = {index};
    c.texts = {name};
    standin::host().record(std::move(c));
    return Get_Value(index, name);
}

bool KovVDevice::CheckAOReport(const std::string& name, float value) {
    standin::HostCall c = call("CheckAOReport", this);
    c.texts = {name};
    c.value = value;
    standin::host().record(std::move(c));
    const auto& per_name = standin::host().answers.ao_report;
    const auto found = per_name.find(name);
    return found != per_name.end() && found->second;
}

int KovVDevice::CheckThreshold(const std::string& name, const std::string& text,
                               const float& value, int kind) {
    standin::HostCall c = call("CheckThreshold", this);
    c.texts = {name, text};
    c.value = value;
    c.ints = {kind};
    c.pointers = {&value};
    standin::host().record(std::move(c));
    return 0;
}

bool KovVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& values) {
    standin::HostCall c = call("DoBatchCheckThreshold", this);
    c.ints = {static_cast<std::int64_t>(values.size())};
    c.pointers = {&values};
    standin::host().record(std::move(c));
    return standin::host().answers.batch_check;
}

int KovVDevice::SaveDeviceHistory(const unsigned char* record, unsigned int len) {
    standin::HostCall c = call("SaveDeviceHistory", this);
    c.ints = {len};
    c.bytes.assign(record, record + len);
    c.pointers = {record};
    standin::host().record(std::move(c));
    return 1;
}

// ---- KovSPDevice ----------------------------------------------------------------

KovSPDevice::KovSPDevice() : baud_rate(19200), parity(PARITY_NONE), port_open(false) {}
KovSPDevice::~KovSPDevice() = default;

int KovSPDevice::Reset() {
    standin::host().record(call("Reset", this));
    return 1;
}

int KovSPDevice::Init(std::weak_ptr<KovController> owner, unsigned int id,
                      const Json::Value& setting) {
    standin::HostCall c = call("Init", this);
    c.ints = {id};
    standin::host().record(std::move(c));
    controller = std::move(owner);
    data_id = id;
    return InitSetting(setting);
}

int KovSPDevice::RefreshStatus() {
    standin::host().record(call("RefreshStatus", this));
    return standin::host().answers.refresh_status;
}

bool KovSPDevice::IsProcessing() { return false; }
bool KovSPDevice::IsStalled() { return false; }

int KovSPDevice::SendData(const unsigned char* bytes, unsigned int len) {
    standin::HostCall c = call("SendData", this);
    c.bytes.assign(bytes, bytes + len);
    standin::host().record(std::move(c));
    return static_cast<int>(len);
}

int KovSPDevice::SendParityData(const unsigned char* bytes, unsigned int len, EnumParity with) {
    standin::HostCall c = call("SendParityData", this);
    c.bytes.assign(bytes, bytes + len);
    c.ints = {with};
    standin::host().record(std::move(c));
    return static_cast<int>(len);
}

int KovSPDevice::OpenPort() {
    standin::host().record(call("OpenPort", this));
    port_open = true;
    return standin::host().answers.open_port;
}

int KovSPDevice::ClosePort() {
    standin::host().record(call("ClosePort", this));
    port_open = false;
    return 1;
}

// ---- SPModbus -------------------------------------------------------------------

SPModbus::SPModbus() : preset_flag(0), poll_step(0), slave_id(1), rx_payload() {}
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& setting) {
    standin::HostCall c = call("InitSetting", this);
    c.texts = {text_of(setting)};
    standin::host().record(std::move(c));
    return standin::host().answers.init_setting;
}

int SPModbus::process(unsigned char* bytes, unsigned int len) {
    standin::HostCall c = call("process", this);
    c.bytes.assign(bytes, bytes + len);
    standin::host().record(std::move(c));
    return static_cast<int>(len);
}

int SPModbus::modbus_read_registers(int start, int count) {
    standin::HostCall c = call("modbus_read_registers", this);
    c.ints = {start, count};
    standin::host().record(std::move(c));
    return 0;
}
