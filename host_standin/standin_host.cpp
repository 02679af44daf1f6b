#include "standin_host.h"

#include <utility>

namespace standin {

void StandinHost::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    answers = HostAnswers();
    on_call = nullptr;
    recording = true;
    quiet = false;
}

void StandinHost::record(HostCall call) {
    if (recording) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    if (on_call) on_call(call);
}

std::vector<HostCall> StandinHost::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> StandinHost::ops() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    names.reserve(calls_.size());
    for (const HostCall& call : calls_) names.push_back(call.op);
    return names;
}

std::vector<HostCall> StandinHost::calls_of(const std::string& op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HostCall> found;
    for (const HostCall& call : calls_) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

void StandinHost::clear_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

StandinHost& host() {
    static StandinHost the_host;
    return the_host;
}

}  // namespace standin
