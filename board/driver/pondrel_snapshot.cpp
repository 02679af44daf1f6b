// The JSON snapshot of the record: 56 members under Chinese labels,
//   "电压", "电流1".."电流18", "功率1".."功率18" (kW: power / 1000 in single
//   precision), "电度1".."电度18", "更新时间" ("Y-M-D h:m:s", no padding).
// Every number is the record's float widened to a double.
#include <cstdio>
#include <cstring>

#include "pondrel.h"

namespace {

constexpr std::size_t kKeyBytes = 48;

// The 54 numbered labels, formatted once: current n at [0][n-1], power at
// [1][n-1], energy at [2][n-1].
struct CircuitKeys {
    char text[3][kPondrelCircuits][kKeyBytes] = {};
    CircuitKeys() {
        const char* prefixes[3] = {pondrel_meter::kCurrentKey, pondrel_meter::kPowerKey, pondrel_meter::kEnergyKey};
        for (int kind = 0; kind < 3; ++kind) {
            for (int n = 1; n <= kPondrelCircuits; ++n) {
                std::snprintf(text[kind][n - 1], kKeyBytes, "%s%d", prefixes[kind], n);
            }
        }
    }
};

const CircuitKeys& circuit_keys() {
    static const CircuitKeys keys;
    return keys;
}

// Existing members are assigned in place: no key is copied once it exists.
void set_block(Json::Value& snapshot, const char (&keys)[kPondrelCircuits][kKeyBytes],
               const float (&values)[kPondrelCircuits]) {
    for (int i = 0; i < kPondrelCircuits; ++i) snapshot[keys[i]] = static_cast<double>(values[i]);
}

}  // namespace

void Pondrel::refresh_snapshot() {
    const boost::posix_time::ptime stamp = update_time;
    if (stamp == snapshot_time) return;
    snapshot_text_.clear();

    const unsigned char* record = record_bytes();
    float voltage;
    float current[kPondrelCircuits];
    float power[kPondrelCircuits];
    float energy[kPondrelCircuits];
    Pondrel_Time_t when;
    std::memcpy(&voltage, record + offsetof(Pondrel_Data_t, voltage), sizeof voltage);
    std::memcpy(current, record + offsetof(Pondrel_Data_t, current), sizeof current);
    std::memcpy(power, record + offsetof(Pondrel_Data_t, power), sizeof power);
    std::memcpy(energy, record + offsetof(Pondrel_Data_t, energy), sizeof energy);
    std::memcpy(&when, record + offsetof(Pondrel_Data_t, record_time), sizeof when);
    for (float& p : power) p = p / 1000.0f;

    char time_text[kKeyBytes] = {};
    std::snprintf(time_text, sizeof time_text, "%u-%u-%u %u:%u:%u",
                  static_cast<unsigned>(when.year), static_cast<unsigned>(when.month),
                  static_cast<unsigned>(when.day), static_cast<unsigned>(when.hour),
                  static_cast<unsigned>(when.minute), static_cast<unsigned>(when.second));

    snapshot[pondrel_meter::kVoltageKey] = static_cast<double>(voltage);
    const CircuitKeys& keys = circuit_keys();
    set_block(snapshot, keys.text[0], current);
    set_block(snapshot, keys.text[1], power);
    set_block(snapshot, keys.text[2], energy);
    snapshot[pondrel_meter::kTimeKey] = time_text;
    // Only a complete rebuild makes the snapshot current: one that threw
    // part-way is redone by the next request.
    snapshot_time = stamp;
}
