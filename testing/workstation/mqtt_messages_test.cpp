// What is published to MQTT: the state of a round and Home Assistant's
// discovery, as JSON its consumers read.
#include <cmath>
#include <set>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "mqtt_messages.h"

using namespace pondrel;

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::string errors;
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors << text;
    return value;
}

}  // namespace

TEST(MqttMessages, StateCarriesTheRoundWithNullForWhatIsNotANumberOrRefused) {
    RoundValues values;
    values.voltage = 230.5f;
    for (int n = 0; n < pondrel_meter::kCircuits; ++n) {
        values.current[n] = static_cast<float>(n) + 0.25f;
        values.power[n] = static_cast<float>(n * 100);
        values.energy[n] = static_cast<float>(n) + 1000.5f;
    }
    values.power[4] = std::nanf("");
    std::array<bool, pondrel_meter::kCircuits> taken;
    taken.fill(true);
    taken[2] = false;
    const Json::Value state = parsed(state_payload(42, 7, "2026-12-10T16:05:00+01:00", values, taken));
    EXPECT_EQ(state["round_id"].asInt64(), 42);
    EXPECT_EQ(state["data_id"].asUInt(), 7u);
    EXPECT_EQ(state["time"].asString(), "2026-12-10T16:05:00+01:00");
    EXPECT_EQ(state["voltage_V"].asFloat(), 230.5f);
    for (const char* key : {"current_A", "power_W", "energy_kWh"}) {
        ASSERT_EQ(state[key].size(), 18u) << key;
    }
    EXPECT_EQ(state["current_A"][17].asFloat(), 17.25f);
    EXPECT_TRUE(state["power_W"][4].isNull());
    EXPECT_TRUE(state["energy_kWh"][2].isNull());
    EXPECT_EQ(state["energy_kWh"][3].asFloat(), 1003.5f);
}

TEST(MqttMessages, DiscoveryDescribesOneDeviceWithASensorPerReading) {
    const MeterIdentity meter{"Kitchen #2/A", "bus", 3, 9, "Kitchen #2/A"};
    const auto messages = discovery_messages("homeassistant", "site/one", meter);
    ASSERT_EQ(messages.size(), 1u + 3u * 18u);
    std::set<std::string> unique_ids;
    for (const MqttMessage& m : messages) {
        SCOPED_TRACE(m.topic);
        EXPECT_TRUE(m.retain);
        EXPECT_EQ(m.topic.rfind("homeassistant/sensor/site_one_Kitchen__2_A/", 0), 0u);
        const Json::Value config = parsed(m.payload);
        unique_ids.insert(config["unique_id"].asString());
        EXPECT_EQ(config["state_topic"].asString(), "site/one/Kitchen__2_A/state");
        EXPECT_EQ(config["availability"][1]["topic"].asString(), "site/one/Kitchen__2_A/availability");
        EXPECT_EQ(config["availability"][0]["topic"].asString(), "site/one/status");
        EXPECT_EQ(config["device"]["identifiers"][0].asString(), "site_one_Kitchen__2_A");
        EXPECT_EQ(config["device"]["name"].asString(), "Kitchen #2/A");
        EXPECT_EQ(config["device"]["model"].asString(), "18-circuit meter");
    }
    EXPECT_EQ(unique_ids.size(), messages.size());
    const struct {
        std::size_t at;
        const char* device_class;
        const char* unit;
        const char* state_class;
        const char* value_template;
    } sensors[] = {
        {0, "voltage", "V", "measurement", "{{ value_json.voltage_V }}"},
        {1, "current", "A", "measurement", "{{ value_json.current_A[0] }}"},
        {2, "power", "W", "measurement", "{{ value_json.power_W[0] }}"},
        {54, "energy", "kWh", "total_increasing", "{{ value_json.energy_kWh[17] | float }}"},
    };
    // Named after the circuits where the site names them; ids stay the numbers.
    std::vector<std::string> names(18);
    names[0] = "Kitchen";
    MeterIdentity named = meter;
    named.circuit_names = names;
    for (int n = 1; n < 18; ++n) named.circuit_names[n] = "circuit " + std::to_string(n + 1);
    const auto renamed = discovery_messages("homeassistant", "site/one", named);
    EXPECT_EQ(parsed(renamed[2].payload)["name"].asString(), "Kitchen power");
    EXPECT_EQ(parsed(renamed[2].payload)["unique_id"].asString(), "site_one_Kitchen__2_A_power_1");
    EXPECT_EQ(parsed(renamed[5].payload)["name"].asString(), "Circuit 2 power");
    EXPECT_EQ(parsed(messages[2].payload)["name"].asString(), "Circuit 1 power");
    for (const auto& s : sensors) {
        const Json::Value config = parsed(messages[s.at].payload);
        EXPECT_EQ(config["device_class"].asString(), s.device_class);
        EXPECT_EQ(config["unit_of_measurement"].asString(), s.unit);
        EXPECT_EQ(config["state_class"].asString(), s.state_class);
        EXPECT_EQ(config["value_template"].asString(), s.value_template);
    }
    // Ids carry the topic prefix: another site's meter of the same name is
    // another entity; with the default prefix, ids read as they always have.
    const auto other_site = discovery_messages("homeassistant", "site/two", meter);
    EXPECT_NE(other_site[54].topic, messages[54].topic);
    EXPECT_EQ(unique_ids.count(parsed(other_site[54].payload)["unique_id"].asString()), 0u);
    const auto plain = discovery_messages("homeassistant", "pondrel", meter);
    EXPECT_EQ(plain[0].topic, "homeassistant/sensor/pondrel_Kitchen__2_A/voltage/config");
    EXPECT_EQ(parsed(plain[0].payload)["unique_id"].asString(), "pondrel_Kitchen__2_A_voltage");
    // A meter removed: the same topics, emptied.
    const auto removal = discovery_messages("homeassistant", "site/one", meter, true);
    ASSERT_EQ(removal.size(), messages.size());
    EXPECT_EQ(removal[54].topic, messages[54].topic);
    EXPECT_TRUE(removal[54].payload.empty());
}
