// The JSON snapshot of the record: 56 members under Chinese labels,
//   "电压", "电流1".."电流18", "功率1".."功率18" (kW: power / 1000 in single
//   precision), "电度1".."电度18", "更新时间" ("Y-M-D h:m:s", no padding).
// Every number is the record's float widened to a double.
#include <cstdio>
#include <cstring>

#include "pondrel.h"

namespace {

constexpr std::size_t kKeyBytes = 48;

void set_block(Json::Value& snapshot, const char* format, const float (&values)[kPondrelCircuits]) {
    for (int n = 1; n <= kPondrelCircuits; ++n) {
        char key[kKeyBytes] = {};
        std::snprintf(key, sizeof key, format, n);
        snapshot[key] = static_cast<double>(values[n - 1]);
    }
}

}  // namespace

void Pondrel::refresh_snapshot() {
    const boost::posix_time::ptime stamp = update_time;
    if (stamp == snapshot_time) return;

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

    snapshot["电压"] = static_cast<double>(voltage);
    set_block(snapshot, "电流%d", current);
    set_block(snapshot, "功率%d", power);
    set_block(snapshot, "电度%d", energy);
    snapshot["更新时间"] = time_text;
    // Only a complete rebuild makes the snapshot current: one that threw
    // part-way is redone by the next request.
    snapshot_time = stamp;
}
