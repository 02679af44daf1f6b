#include "recording_host.h"

#include <utility>

#include <json/writer.h>

using namespace pondrel;

namespace recorder {

namespace {

std::string text_of(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

}  // namespace

void RecordingHost::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    answers = HostAnswers();
    on_call = nullptr;
    recording = true;
    quiet = false;
}

void RecordingHost::record(HostCall call) {
    if (recording) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    if (on_call) on_call(call);
}

std::vector<HostCall> RecordingHost::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingHost::ops() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    names.reserve(calls_.size());
    for (const HostCall& call : calls_) names.push_back(call.op);
    return names;
}

std::vector<HostCall> RecordingHost::calls_of(const std::string& op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HostCall> found;
    for (const HostCall& call : calls_) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

void RecordingHost::clear_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

template <typename Fill>
void RecordingHost::log(const char* op, const void* device, Fill fill) {
    if (quiet) return;
    HostCall c;
    c.op = op;
    c.device = device;
    fill(c);
    record(std::move(c));
}

// ---- KovVDevice -------------------------------------------------------------

int RecordingHost::device_io_control(KovVDevice& device, int code, const void* in, int in_len, void* out,
                                     int out_len, int& out_written) {
    log("DeviceIoControl", &device, [&](HostCall& c) {
        c.ints = {code, in_len, out_len, out_written};
        c.pointers = {in, out, &out_written};
    });
    if (answers.device_io_control_writes) answers.device_io_control_writes(code, out, out_len, out_written);
    return answers.device_io_control;
}

void RecordingHost::init_v(KovVDevice& device, KovVDevice* parent, unsigned int id) {
    log("InitV", &device, [&](HostCall& c) {
        c.ints = {id};
        c.pointers = {parent};
    });
}

int RecordingHost::vdevice_init_setting(KovVDevice& device, const Json::Value& setting) {
    log("KovVDevice::InitSetting", &device, [&](HostCall& c) { c.texts = {text_of(setting)}; });
    return answers.init_setting;
}

bool RecordingHost::is_support_device(const KovVDevice& device, const std::string& type) {
    log("IsSupportDevice", &device, [&](HostCall& c) { c.texts = {type}; });
    return HostServices::is_support_device(device, type);
}

int RecordingHost::send_sp(KovVDevice& device, int type_code, const unsigned char* record, unsigned int len,
                           bool urgent) {
    log("SendSP", &device, [&](HostCall& c) {
        c.ints = {type_code, len, urgent ? 1 : 0};
        c.bytes.assign(record, record + len);
        c.pointers = {record};
    });
    return 1;
}

int RecordingHost::send_delay_data(KovVDevice& device, int delay) {
    log("SendDelayData", &device, [&](HostCall& c) { c.ints = {delay}; });
    return 0;
}

int RecordingHost::send_do_data(KovVDevice& device, int channel, char value) {
    log("SendDoData", &device, [&](HostCall& c) { c.ints = {channel, value}; });
    return 0;
}

int RecordingHost::read_di(KovVDevice& device, int channel) {
    log("ReadDi", &device, [&](HostCall& c) { c.ints = {channel}; });
    return 0;
}

float RecordingHost::read_ai(KovVDevice& device, int channel) {
    log("ReadAi", &device, [&](HostCall& c) { c.ints = {channel}; });
    return 0.0f;
}

void RecordingHost::get_sp_value(KovVDevice& device, unsigned int index, const std::string& name) {
    log("Get_SP_Value", &device, [&](HostCall& c) {
        c.ints = {index};
        c.texts = {name};
    });
}

bool RecordingHost::check_ao_report(KovVDevice& device, const std::string& name, float value) {
    log("CheckAOReport", &device, [&](HostCall& c) {
        c.texts = {name};
        c.value = value;
    });
    const auto found = answers.ao_report.find(name);
    return found != answers.ao_report.end() && found->second;
}

int RecordingHost::check_threshold(KovVDevice& device, const std::string& name, const std::string& text,
                                   const float& value, int kind) {
    log("CheckThreshold", &device, [&](HostCall& c) {
        c.texts = {name, text};
        c.value = value;
        c.ints = {kind};
        c.pointers = {&value};
    });
    return 0;
}

bool RecordingHost::do_batch_check_threshold(KovVDevice& device, const std::vector<rule_value>& values) {
    log("DoBatchCheckThreshold", &device, [&](HostCall& c) {
        c.ints = {static_cast<std::int64_t>(values.size())};
        c.pointers = {&values};
    });
    return answers.batch_check;
}

int RecordingHost::save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len) {
    log("SaveDeviceHistory", &device, [&](HostCall& c) {
        c.ints = {len};
        c.bytes.assign(record, record + len);
        c.pointers = {record};
    });
    return 1;
}

// ---- KovSPDevice --------------------------------------------------------------

int RecordingHost::reset(KovSPDevice& device) {
    log("Reset", &device, [](HostCall&) {});
    return 1;
}

void RecordingHost::init(KovSPDevice& device, unsigned int id) {
    log("Init", &device, [&](HostCall& c) { c.ints = {id}; });
}

int RecordingHost::refresh_status(KovSPDevice& device) {
    log("RefreshStatus", &device, [](HostCall&) {});
    return answers.refresh_status;
}

int RecordingHost::send_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len) {
    log("SendData", &device, [&](HostCall& c) { c.bytes.assign(bytes, bytes + len); });
    return static_cast<int>(len);
}

int RecordingHost::send_parity_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len,
                                    EnumParity parity) {
    log("SendParityData", &device, [&](HostCall& c) {
        c.bytes.assign(bytes, bytes + len);
        c.ints = {parity};
    });
    return static_cast<int>(len);
}

int RecordingHost::open_port(KovSPDevice& device) {
    log("OpenPort", &device, [](HostCall&) {});
    return answers.open_port;
}

int RecordingHost::close_port(KovSPDevice& device) {
    log("ClosePort", &device, [](HostCall&) {});
    return 1;
}

// ---- SPModbus -------------------------------------------------------------------

int RecordingHost::modbus_init_setting(SPModbus& device, const Json::Value& setting) {
    log("InitSetting", &device, [&](HostCall& c) { c.texts = {text_of(setting)}; });
    return answers.init_setting;
}

int RecordingHost::process(SPModbus& device, unsigned char* bytes, unsigned int len) {
    log("process", &device, [&](HostCall& c) { c.bytes.assign(bytes, bytes + len); });
    return static_cast<int>(len);
}

int RecordingHost::modbus_read_registers(SPModbus& device, int start, int count) {
    log("modbus_read_registers", &device, [&](HostCall& c) { c.ints = {start, count}; });
    return 0;
}

void RecordingHost::get_ttime(boost::posix_time::ptime t, const ttime_t& calendar) {
    log("get_ttime", nullptr, [&](HostCall& c) {
        if (!t.is_special()) {
            c.ints = {calendar.year, calendar.month, calendar.day, calendar.hour, calendar.minute,
                      calendar.second};
        }
    });
}

RecordingHost& host() {
    static RecordingHost the_host;
    return the_host;
}

void install_recorder() { pondrel::set_default_services(&host()); }

}  // namespace recorder
