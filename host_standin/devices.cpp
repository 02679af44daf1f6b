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

// Logs one host call unless the host is quiet; `fill` adds the arguments.
template <typename Fill>
void log_call(const char* op, const void* device, Fill fill) {
    standin::StandinHost& host = standin::host();
    if (host.quiet) return;
    standin::HostCall c;
    c.op = op;
    c.device = device;
    fill(c);
    host.record(std::move(c));
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
    log_call("DeviceIoControl", this, [&](standin::HostCall& c) {
        c.ints = {code, in_len, out_len, out_written};
        c.pointers = {in, out, &out_written};
    });
    auto& answers = standin::host().answers;
    if (answers.device_io_control_writes) answers.device_io_control_writes(code, out, out_len, out_written);
    return answers.device_io_control;
}

int KovVDevice::InitV(KovVDevice* parent_device, unsigned int id, const Json::Value& setting) {
    log_call("InitV", this, [&](standin::HostCall& c) {
        c.ints = {id};
        c.pointers = {parent_device};
    });
    parent = parent_device;
    data_id = id;
    return InitSetting(setting);
}

int KovVDevice::InitSetting(const Json::Value& setting) {
    log_call("KovVDevice::InitSetting", this, [&](standin::HostCall& c) {
        c.texts = {text_of(setting)};
    });
    return standin::host().answers.init_setting;
}

bool KovVDevice::IsSupportDevice(const std::string& type) const {
    log_call("IsSupportDevice", this, [&](standin::HostCall& c) {
        c.texts = {type};
    });
    return type == device_type;
}

int KovVDevice::SendSP(int type_code, const unsigned char* record, unsigned int len, bool urgent) {
    log_call("SendSP", this, [&](standin::HostCall& c) {
        c.ints = {type_code, len, urgent ? 1 : 0};
        c.bytes.assign(record, record + len);
        c.pointers = {record};
    });
    return 1;
}

int KovVDevice::SendDelayData(int delay) {
    log_call("SendDelayData", this, [&](standin::HostCall& c) {
        c.ints = {delay};
    });
    return 0;
}

int KovVDevice::SendDoData(int channel, char value) {
    log_call("SendDoData", this, [&](standin::HostCall& c) {
        c.ints = {channel, value};
    });
    return 0;
}

int KovVDevice::ReadDi(int channel) {
    log_call("ReadDi", this, [&](standin::HostCall& c) {
        c.ints = {channel};
    });
    return 0;
}

float KovVDevice::ReadAi(int channel) {
    log_call("ReadAi", this, [&](standin::HostCall& c) {
        c.ints = {channel};
    });
    return 0.0f;
}

float KovVDevice::Get_SP_Value(unsigned int index, const std::string& name) {
    log_call("Get_SP_Value", this, [&](standin::HostCall& c) {
        c.ints = {index};
        c.texts = {name};
    });
    return Get_Value(index, name);
}

bool KovVDevice::CheckAOReport(const std::string& name, float value) {
    log_call("CheckAOReport", this, [&](standin::HostCall& c) {
        c.texts = {name};
        c.value = value;
    });
    const auto& per_name = standin::host().answers.ao_report;
    const auto found = per_name.find(name);
    return found != per_name.end() && found->second;
}

int KovVDevice::CheckThreshold(const std::string& name, const std::string& text,
                               const float& value, int kind) {
    log_call("CheckThreshold", this, [&](standin::HostCall& c) {
        c.texts = {name, text};
        c.value = value;
        c.ints = {kind};
        c.pointers = {&value};
    });
    return 0;
}

bool KovVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& values) {
    log_call("DoBatchCheckThreshold", this, [&](standin::HostCall& c) {
        c.ints = {static_cast<std::int64_t>(values.size())};
        c.pointers = {&values};
    });
    return standin::host().answers.batch_check;
}

int KovVDevice::SaveDeviceHistory(const unsigned char* record, unsigned int len) {
    log_call("SaveDeviceHistory", this, [&](standin::HostCall& c) {
        c.ints = {len};
        c.bytes.assign(record, record + len);
        c.pointers = {record};
    });
    return 1;
}

// ---- KovSPDevice ----------------------------------------------------------------

KovSPDevice::KovSPDevice() : baud_rate(19200), parity(PARITY_NONE), port_open(false) {}
KovSPDevice::~KovSPDevice() = default;

int KovSPDevice::Reset() {
    log_call("Reset", this, [](standin::HostCall&) {});
    return 1;
}

int KovSPDevice::Init(std::weak_ptr<KovController> owner, unsigned int id,
                      const Json::Value& setting) {
    log_call("Init", this, [&](standin::HostCall& c) {
        c.ints = {id};
    });
    controller = std::move(owner);
    data_id = id;
    return InitSetting(setting);
}

int KovSPDevice::RefreshStatus() {
    log_call("RefreshStatus", this, [](standin::HostCall&) {});
    return standin::host().answers.refresh_status;
}

bool KovSPDevice::IsProcessing() { return false; }
bool KovSPDevice::IsStalled() { return false; }

int KovSPDevice::SendData(const unsigned char* bytes, unsigned int len) {
    log_call("SendData", this, [&](standin::HostCall& c) {
        c.bytes.assign(bytes, bytes + len);
    });
    return static_cast<int>(len);
}

int KovSPDevice::SendParityData(const unsigned char* bytes, unsigned int len, EnumParity with) {
    log_call("SendParityData", this, [&](standin::HostCall& c) {
        c.bytes.assign(bytes, bytes + len);
        c.ints = {with};
    });
    return static_cast<int>(len);
}

int KovSPDevice::OpenPort() {
    log_call("OpenPort", this, [](standin::HostCall&) {});
    port_open = true;
    return standin::host().answers.open_port;
}

int KovSPDevice::ClosePort() {
    log_call("ClosePort", this, [](standin::HostCall&) {});
    port_open = false;
    return 1;
}

// ---- SPModbus -------------------------------------------------------------------

SPModbus::SPModbus() : preset_flag(0), poll_step(0), slave_id(1), rx_payload() {}
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& setting) {
    log_call("InitSetting", this, [&](standin::HostCall& c) {
        c.texts = {text_of(setting)};
    });
    return standin::host().answers.init_setting;
}

int SPModbus::process(unsigned char* bytes, unsigned int len) {
    log_call("process", this, [&](standin::HostCall& c) {
        c.bytes.assign(bytes, bytes + len);
    });
    return static_cast<int>(len);
}

int SPModbus::modbus_read_registers(int start, int count) {
    log_call("modbus_read_registers", this, [&](standin::HostCall& c) {
        c.ints = {start, count};
    });
    return 0;
}
