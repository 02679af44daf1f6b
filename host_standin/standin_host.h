// The stand-in host: a working implementation of every out-of-line host
// operation, for tests and the host program. It records each host call a
// device makes (operation, device, arguments, in order) and answers as told.
//
// Linked into executables that export it (ENABLE_EXPORTS), so a plug-in
// loaded with dlopen resolves its host symbols here, as on the board.
// The call log is guarded by a mutex; answers and on_call are set before the
// calls they shape, from the thread that drives the device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

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

class StandinHost {
public:
    // Forgets every call, answer and hook; recording goes back on, quiet off.
    void reset();

    // Called by every host operation. Runs on_call (which may throw, to
    // simulate a failing host) after the call has been logged.
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

private:
    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
};

// The process's one stand-in host.
StandinHost& host();

}  // namespace standin
