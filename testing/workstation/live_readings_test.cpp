// The page's view of each meter: its status through rounds, failures and
// implausible readings, staleness on a fake clock, and the JSON it gives.
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "live_readings.h"
#include "pondrel_data.h"

using namespace pondrel;

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors << text;
    return value;
}

}  // namespace

TEST(LiveReadings, StatusFollowsTheLastAttemptAndAgesOnTheClock) {
    LiveReadings::Clock::time_point now{};
    LiveReadings live([&] { return now; });
    // Stale after twice their intervals and a second (a line timeout of 0).
    const MeterIdentity a{"hall \"A\"", "bus", 3, 101, "hall \"A\"", 5.0};
    std::vector<std::string> names(18);
    for (int n = 0; n < 18; ++n) names[n] = "circuit " + std::to_string(n + 1);
    names[0] = "Oven \"big\"";
    const MeterIdentity b{"kitchen", "bus", 4, 102, "kitchen", 3.0, names};
    live.set_site({a, b}, {2.0, 1.0});

    Pondrel_Data_t data{};
    data.voltage = 231.5f;
    data.power[17] = NAN;
    data.energy[0] = 12.25f;
    data.current[0] = 230.12346f;  // 7 significant digits would read back as another float
    CompletedRound round;
    round.meter = &a;
    round.saved_at = boost::posix_time::time_from_string("2026-12-10 10:00:00");
    round.record.resize(sizeof data);
    std::memcpy(round.record.data(), &data, sizeof data);

    const struct {
        const char* step;
        std::function<void()> act;
        double advance_s;
        const char* status;
        const char* reason;
        bool stale;
    } steps[] = {
        {"before any attempt", [] {}, 0, "waiting", "", false},
        {"a round", [&] { live.write(round); }, 1, "ok", "", false},
        {"no round for 5 s, an interval of 2", [] {}, 4.5, "ok", "", true},
        {"a timeout", [&] { live.failed(a, RoundFailure::Timeout); }, 0, "failing", "timeout", true},
        {"a round again", [&] { live.write(round); }, 0, "ok", "", false},
        {"implausible", [&] { live.write(round); live.implausible(a); }, 0, "implausible", "", false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        s.act();
        now += std::chrono::duration_cast<LiveReadings::Clock::duration>(std::chrono::duration<double>(s.advance_s));
        const Json::Value meter = parsed(live.meters_json())["meters"][0];
        EXPECT_EQ(meter["status"].asString(), s.status);
        EXPECT_EQ(meter["reason"].asString(), s.reason);
        EXPECT_EQ(meter["stale"].asBool(), s.stale);
    }
    const Json::Value site = parsed(live.meters_json());
    const Json::Value& first = site["meters"][0];
    EXPECT_EQ(first["name"].asString(), "hall \"A\"");
    EXPECT_EQ(first["slave"].asInt(), 3);
    EXPECT_EQ(first["data_id"].asInt(), 101);
    EXPECT_EQ(first["rounds"].asInt(), 3);
    EXPECT_DOUBLE_EQ(first["voltage_V"].asDouble(), 231.5);
    ASSERT_EQ(first["power_W"].size(), 18u);
    EXPECT_TRUE(first["power_W"][17].isNull());  // not a number: null, still valid JSON
    EXPECT_DOUBLE_EQ(first["energy_kWh"][0].asDouble(), 12.25);
    EXPECT_EQ(static_cast<float>(first["current_A"][0].asDouble()), 230.12346f);
    EXPECT_EQ(first["time"].asString().substr(0, 19), "2026-12-10T10:00:00");
    const Json::Value& second = site["meters"][1];
    EXPECT_EQ(second["status"].asString(), "waiting");
    // Each meter's 18 circuit names, as the site names them.
    ASSERT_EQ(first["circuit_names"].size(), 18u);
    EXPECT_EQ(first["circuit_names"][17].asString(), "circuit 18");
    ASSERT_EQ(second["circuit_names"].size(), 18u);
    EXPECT_EQ(second["circuit_names"][0].asString(), "Oven \"big\"");
    EXPECT_EQ(second["circuit_names"][1].asString(), "circuit 2");
    EXPECT_TRUE(second["voltage_V"].isNull());
    EXPECT_TRUE(second["age_s"].isNull());

    // A reload keeps the readings of a meter that stays, and drops one that goes.
    live.set_site({b, a}, {1.0, 2.0});
    const Json::Value reloaded = parsed(live.meters_json());
    EXPECT_EQ(reloaded["meters"][0]["name"].asString(), "kitchen");
    EXPECT_EQ(reloaded["meters"][1]["rounds"].asInt(), 3);
    live.set_site({b}, {1.0});
    EXPECT_EQ(parsed(live.meters_json())["meters"].size(), 1u);
    EXPECT_FALSE(live.meter("hall \"A\"").has_value());
}
