#include "mqtt_messages.h"

#include <cmath>

#include <json/value.h>
#include <json/writer.h>

#include "site_config.h"

namespace pondrel {

namespace {

constexpr int kCircuits = pondrel_meter::kCircuits;

void append_number(std::string& out, float value) {
    const std::string text = reading_text(value);
    out += text.empty() ? "null" : text;
}

void append_list(std::string& out, const char* key, const std::array<float, kCircuits>& values,
                 const std::array<bool, kCircuits>* taken = nullptr) {
    out += ",\"";
    out += key;
    out += "\":[";
    for (int n = 0; n < kCircuits; ++n) {
        if (n > 0) out += ',';
        if (taken != nullptr && !(*taken)[n]) {
            out += "null";
        } else {
            append_number(out, values[n]);
        }
    }
    out += ']';
}

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

struct Sensor {
    std::string object;          // object id, unique within the meter
    std::string name;
    std::string device_class;
    std::string unit;
    std::string state_class;
    std::string value_template;
};

// A meter's sensors, named after its circuits' names ("Circuit 3 power"
// where a circuit has none); their object ids stay the circuit numbers, so a
// rename keeps each entity and its history.
std::vector<Sensor> sensors(const MeterIdentity& meter) {
    std::vector<Sensor> list{{"voltage", "Voltage", "voltage", "V", "measurement", "{{ value_json.voltage_V }}"}};
    for (int n = 0; n < kCircuits; ++n) {
        const std::string c = std::to_string(n + 1);
        const std::string at = "[" + std::to_string(n) + "]";
        std::string name = circuit_name(meter, n + 1);
        if (name == "circuit " + c) name = "Circuit " + c;
        list.push_back({"current_" + c, name + " current", "current", "A", "measurement",
                        "{{ value_json.current_A" + at + " }}"});
        list.push_back({"power_" + c, name + " power", "power", "W", "measurement",
                        "{{ value_json.power_W" + at + " }}"});
        // A refused energy is null: the filter fails on it and the sensor keeps its state.
        list.push_back({"energy_" + c, name + " energy", "energy", "kWh", "total_increasing",
                        "{{ value_json.energy_kWh" + at + " | float }}"});
    }
    return list;
}

}  // namespace

std::string topic_level(const std::string& meter_name) { return mqtt_topic_level(meter_name); }

std::string state_topic(const std::string& prefix, const MeterIdentity& meter) {
    return prefix + "/" + topic_level(meter.name) + "/state";
}

std::string availability_topic(const std::string& prefix, const MeterIdentity& meter) {
    return prefix + "/" + topic_level(meter.name) + "/availability";
}

std::string status_topic(const std::string& prefix) { return prefix + "/status"; }

std::string state_payload(std::int64_t round_id, std::uint32_t data_id, const std::string& time,
                          const RoundValues& values, const std::array<bool, kCircuits>& energy_taken) {
    std::string out;
    out.reserve(1024);
    out += "{\"round_id\":" + std::to_string(round_id) + ",\"data_id\":" + std::to_string(data_id) +
           ",\"time\":" + Json::valueToQuotedString(time.c_str()) + ",\"voltage_V\":";
    append_number(out, values.voltage);
    append_list(out, "current_A", values.current);
    append_list(out, "power_W", values.power);
    append_list(out, "energy_kWh", values.energy, &energy_taken);
    out += '}';
    return out;
}

std::vector<MqttMessage> discovery_messages(const std::string& discovery_prefix, const std::string& prefix,
                                            const MeterIdentity& meter, bool removed) {
    // Ids carry the topic prefix: two sites on one broker, each with its own
    // prefix, keep their own entities even where meters share a name. With
    // the default prefix "pondrel" they read "pondrel_METER".
    const std::string id = topic_level(prefix) + "_" + topic_level(meter.name);
    Json::Value device;
    device["identifiers"].append(id);
    device["name"] = meter.name;
    device["model"] = "18-circuit meter";
    Json::Value availability(Json::arrayValue);
    availability.append(Json::Value(Json::objectValue))["topic"] = status_topic(prefix);
    availability.append(Json::Value(Json::objectValue))["topic"] = availability_topic(prefix, meter);
    std::vector<MqttMessage> messages;
    for (const Sensor& sensor : sensors(meter)) {
        MqttMessage message;
        message.topic = discovery_prefix + "/sensor/" + id + "/" + sensor.object + "/config";
        message.retain = true;
        if (!removed) {
            Json::Value config;
            config["name"] = sensor.name;
            config["unique_id"] = id + "_" + sensor.object;
            config["state_topic"] = state_topic(prefix, meter);
            config["value_template"] = sensor.value_template;
            config["device_class"] = sensor.device_class;
            config["unit_of_measurement"] = sensor.unit;
            config["state_class"] = sensor.state_class;
            config["availability"] = availability;
            config["availability_mode"] = "all";
            config["device"] = device;
            message.payload = compact(config);
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace pondrel
