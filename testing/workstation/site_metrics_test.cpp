// The site's Prometheus figures, as the exposition text a scrape gets.
#include <cmath>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include "pondrel_data.h"
#include "site_metrics.h"

using namespace pondrel;

namespace {

class SiteMetricsTest : public ::testing::Test {
protected:
    SiteMetricsTest() : metrics_([this](Severity, const std::string& line) { reports_.push_back(line); }, [this] { return now_; }) {
        metrics_.set_site({live_, dead_}, {"bus"});
    }

    CompletedRound round(float voltage, float energy3) {
        Pondrel_Data_t data{};
        data.voltage = voltage;
        for (int n = 0; n < kPondrelCircuits; ++n) {
            data.current[n] = 0.5f * static_cast<float>(n);
            data.power[n] = 100.0f * static_cast<float>(n);
            data.energy[n] = 10.0f;
        }
        data.energy[2] = energy3;
        CompletedRound r;
        r.meter = &live_;
        r.record.resize(sizeof data);
        std::memcpy(r.record.data(), &data, sizeof data);
        r.duration_s = 0.2;
        return r;
    }

    std::string text() const { return prometheus::TextSerializer().Serialize(metrics_.Collect()); }
    static bool has(const std::string& text, const std::string& line) { return text.find(line + "\n") != std::string::npos; }

    static std::vector<std::string> kitchen_first() {
        std::vector<std::string> names;
        for (int n = 1; n <= 18; ++n) names.push_back(n == 1 ? "Kitchen" : "circuit " + std::to_string(n));
        return names;
    }
    const MeterIdentity live_{"m1", "bus", 1, 1, "m1", 61, kitchen_first()};
    const MeterIdentity dead_{"m2", "bus", 2, 2, "m2"};
    SiteMetrics::Clock::time_point now_ = SiteMetrics::Clock::now();
    std::vector<std::string> reports_;
    SiteMetrics metrics_;
};

}  // namespace

TEST_F(SiteMetricsTest, ReadingsInBaseUnitsAndEveryMetersFiguresFromTheStart) {
    metrics_.line_state("bus", true);
    metrics_.write(round(230.5f, 2.5f));
    metrics_.failed(dead_, RoundFailure::Timeout);
    const std::string t = text();
    EXPECT_TRUE(has(t, "pondrel_voltage_volts{data_id=\"1\",meter=\"m1\"} 230.5")) << t;
    EXPECT_TRUE(has(t, "pondrel_current_amperes{circuit=\"18\",data_id=\"1\",meter=\"m1\"} 8.5"));
    EXPECT_TRUE(has(t, "pondrel_power_watts{circuit=\"2\",data_id=\"1\",meter=\"m1\"} 100"));
    EXPECT_TRUE(has(t, "pondrel_energy_joules_total{circuit=\"3\",data_id=\"1\",meter=\"m1\"} 9000000"));
    EXPECT_TRUE(has(t, "pondrel_up{data_id=\"1\",meter=\"m1\"} 1"));
    EXPECT_TRUE(has(t, "pondrel_rounds_total{data_id=\"1\",meter=\"m1\"} 1"));
    EXPECT_TRUE(has(t, "pondrel_round_duration_seconds_bucket{data_id=\"1\",meter=\"m1\",le=\"0.25\"} 1"));
    EXPECT_TRUE(has(t, "pondrel_round_duration_seconds_bucket{data_id=\"1\",meter=\"m1\",le=\"0.1\"} 0"));
    EXPECT_TRUE(has(t, "pondrel_line_up{line=\"bus\"} 1"));
    // Circuits' names beside the readings, for every meter, answering or not.
    EXPECT_TRUE(has(t, "pondrel_circuit_info{circuit=\"1\",meter=\"m1\",name=\"Kitchen\"} 1")) << t;
    EXPECT_TRUE(has(t, "pondrel_circuit_info{circuit=\"2\",meter=\"m1\",name=\"circuit 2\"} 1"));
    EXPECT_TRUE(has(t, "pondrel_circuit_info{circuit=\"18\",meter=\"m2\",name=\"circuit 18\"} 1"));
    // The meter that never answered: its figures, no readings.
    EXPECT_TRUE(has(t, "pondrel_up{data_id=\"2\",meter=\"m2\"} 0"));
    EXPECT_TRUE(has(t, "pondrel_rounds_total{data_id=\"2\",meter=\"m2\"} 0"));
    EXPECT_TRUE(has(t, "pondrel_round_failures_total{data_id=\"2\",meter=\"m2\",reason=\"timeout\"} 1"));
    for (const char* reason : {"crc", "exception", "mismatch", "line_lost", "flood"}) {
        EXPECT_TRUE(has(t, std::string("pondrel_round_failures_total{data_id=\"1\",meter=\"m1\",reason=\"") + reason +
                               "\"} 0"));
    }
    EXPECT_EQ(t.find("meter=\"m2\"} 2"), std::string::npos);
    std::istringstream lines(t);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("meter=\"m2\"") == std::string::npos) continue;
        for (const char* reading : {"pondrel_voltage", "pondrel_current", "pondrel_power", "pondrel_energy_joules",
                                    "pondrel_circuit_info{circuit=\"1\",meter=\"m2\",name=\"Kitchen\""}) {
            EXPECT_NE(line.rfind(reading, 0), 0u) << line;
        }
    }
}

TEST_F(SiteMetricsTest, AStaleMeterShowsOnlyThatItIsDown) {
    metrics_.write(round(230.5f, 2.5f));
    now_ += std::chrono::seconds(60);
    EXPECT_TRUE(has(text(), "pondrel_up{data_id=\"1\",meter=\"m1\"} 1"));
    now_ += std::chrono::seconds(2);
    const std::string t = text();
    EXPECT_TRUE(has(t, "pondrel_up{data_id=\"1\",meter=\"m1\"} 0"));
    EXPECT_EQ(t.find("pondrel_voltage_volts"), std::string::npos);
    EXPECT_EQ(t.find("pondrel_energy_joules_total"), std::string::npos);
    EXPECT_TRUE(has(t, "pondrel_rounds_total{data_id=\"1\",meter=\"m1\"} 1"));
}

TEST_F(SiteMetricsTest, TheEnergyCounterNeverGoesBackAndItsRefusalsAreCounted) {
    const std::string energy3 = "pondrel_energy_joules_total{circuit=\"3\",data_id=\"1\",meter=\"m1\"} ";
    const std::string rejected3 = "pondrel_energy_rejected_total{circuit=\"3\",data_id=\"1\",meter=\"m1\"} ";
    metrics_.write(round(230, 5));
    metrics_.write(round(230, std::nanf("")));  // not a number
    metrics_.write(round(230, 0));              // a dip
    std::string t = text();
    EXPECT_TRUE(has(t, energy3 + "18000000")) << t;
    EXPECT_TRUE(has(t, rejected3 + "2"));
    // A real reset: lower for ten rounds in a row (the dip was the first).
    for (int n = 1; n < EnergyGuard::kResetRounds; ++n) metrics_.write(round(230, 1));
    t = text();
    EXPECT_TRUE(has(t, energy3 + "3600000"));
    EXPECT_TRUE(has(t, rejected3 + "10"));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("meter m1 circuit 3: energy counter reset"), std::string::npos);
}
