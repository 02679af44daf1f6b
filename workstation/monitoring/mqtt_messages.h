// The messages pondrel-host publishes to an MQTT broker. Pure; any thread.
//   PREFIX/METER/state         one JSON object per completed round (not retained)
//   PREFIX/METER/availability  "online" or "offline" (retained)
//   PREFIX/status              "online", or the last will "offline" (retained)
//   DISCOVERY/sensor/pondrel_METER/OBJECT/config
//                              Home Assistant's discovery of each reading (retained)
// METER is the meter's name as a topic level: characters other than letters,
// digits, '_' and '-' become '_'.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "outputs.h"
#include "round_values.h"

namespace pondrel {

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

std::string topic_level(const std::string& meter_name);
std::string state_topic(const std::string& prefix, const MeterIdentity& meter);
std::string availability_topic(const std::string& prefix, const MeterIdentity& meter);
std::string status_topic(const std::string& prefix);

// {"round_id":N,"data_id":N,"time":"...","voltage_V":x,"current_A":[18],
// "power_W":[18],"energy_kWh":[18]}. A value that is not finite is null; so
// is each energy whose `energy_taken` is false (refused by the energy guard).
std::string state_payload(std::int64_t round_id, std::uint32_t data_id, const std::string& time,
                          const RoundValues& values,
                          const std::array<bool, pondrel_meter::kCircuits>& energy_taken);

// Home Assistant's discovery of one meter: a device with a sensor per
// reading (voltage, and each circuit's current, power and energy), retained.
// With `removed`, the same topics with empty payloads, which remove them.
std::vector<MqttMessage> discovery_messages(const std::string& discovery_prefix, const std::string& prefix,
                                            const MeterIdentity& meter, bool removed = false);

}  // namespace pondrel
