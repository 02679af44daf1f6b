// The tests' host: HostServices that record each host call a device makes
// (operation, device, arguments, in order) and answer as a test tells them.
// A program installs it as its default services (install_recorder(), which
// the tests' main does), so each device a test creates reports here without
// registering.
//
// The call log is guarded by a mutex; answers and on_call are set before the
// calls they shape, from the thread that drives the device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_services.h"

namespace recorder {

// One call of a host operation, as the device made it.
struct HostCall {
    std::string op;                      // e.g. "SendSP", "modbus_read_registers"
    const void* device = nullptr;        // the object the call was made on
    std::vector<std::int64_t> ints;      // integral arguments, in order
    std::vector<std::string> texts;      // string arguments, in order
    std::vector<unsigned char> bytes;    // the buffer argument, copied
    std::vector<const void*> pointers;   // pointer arguments, in order
    double value = 0.0;                  // the float argument
};

// What the host answers. Defaults are those of a quiet, healthy host.
struct HostAnswers {
    int device_io_control = 0;
    // Runs inside the base DeviceIoControl; may write out and out_written.
    std::function<void(int code, void* out, int out_len, int& out_written)> device_io_control_writes;
    int init_setting = 0;
    std::map<std::string, bool> ao_report;  // per name; absent names say false
    bool batch_check = false;
    int refresh_status = 1;
    int open_port = 1;
};

class RecordingHost : public pondrel::HostServices {
public:
    // Forgets every call, answer and hook; recording goes back on, quiet off.
    void reset();

    // Logs a call (unless quiet), then runs on_call, which may throw to
    // simulate a failing host.
    void record(HostCall call);

    std::vector<HostCall> calls() const;
    std::vector<std::string> ops() const;  // just the operation names
    std::vector<HostCall> calls_of(const std::string& op) const;
    void clear_calls();

    HostAnswers answers;
    // Observes, acts on or fails any host call; empty by default.
    std::function<void(const HostCall&)> on_call;
    // Off in long-running hosts, so that the log does not grow.
    bool recording = true;
    // A quiet host neither logs nor runs on_call, and allocates nothing: for
    // measuring the device alone.
    bool quiet = false;

    int device_io_control(KovVDevice& device, int code, const void* in, int in_len, void* out, int out_len,
                          int& out_written) override;
    void init_v(KovVDevice& device, KovVDevice* parent, unsigned int id) override;
    int vdevice_init_setting(KovVDevice& device, const Json::Value& setting) override;
    bool is_support_device(const KovVDevice& device, const std::string& type) override;
    int send_sp(KovVDevice& device, int type_code, const unsigned char* record, unsigned int len,
                bool urgent) override;
    int send_delay_data(KovVDevice& device, int delay) override;
    int send_do_data(KovVDevice& device, int channel, char value) override;
    int read_di(KovVDevice& device, int channel) override;
    float read_ai(KovVDevice& device, int channel) override;
    void get_sp_value(KovVDevice& device, unsigned int index, const std::string& name) override;
    bool check_ao_report(KovVDevice& device, const std::string& name, float value) override;
    int check_threshold(KovVDevice& device, const std::string& name, const std::string& text,
                        const float& value, int kind) override;
    bool do_batch_check_threshold(KovVDevice& device, const std::vector<rule_value>& values) override;
    int save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len) override;
    int reset(KovSPDevice& device) override;
    void init(KovSPDevice& device, unsigned int id) override;
    int refresh_status(KovSPDevice& device) override;
    int send_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len) override;
    int send_parity_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len,
                         EnumParity parity) override;
    int open_port(KovSPDevice& device) override;
    int close_port(KovSPDevice& device) override;
    int modbus_init_setting(SPModbus& device, const Json::Value& setting) override;
    int process(SPModbus& device, unsigned char* bytes, unsigned int len) override;
    int modbus_read_registers(SPModbus& device, int start, int count) override;
    void get_ttime(boost::posix_time::ptime t, const ttime_t& calendar) override;

private:
    // Logs one call unless quiet; `fill` adds the arguments.
    template <typename Fill>
    void log(const char* op, const void* device, Fill fill);

    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
};

// The process's one recording host, the default services from start-up.
RecordingHost& host();
// Makes host() the default services of this process.
void install_recorder();

}  // namespace recorder
