// Reports from hourly statistics that a test writes for the dates it needs:
// local days across a daylight-saving change adding up to the counters'
// rise, groups summing their circuits, tariffs changing on a day and by
// window with a demand price, coverage with a gap, and the output formats.
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "energy_report.h"
#include "history.h"
#include "pondrel_data.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

// 2026-03-28T00:00:00+01:00: three days of Europe/Berlin around its change to summer time.
constexpr std::int64_t kStart = 1774652400;
constexpr std::int64_t kStep = 300;
constexpr int kRounds = 3 * 288;
// Rounds missing: five hours on the 30th from 10:00 local (+02:00).
constexpr std::int64_t kGapFrom = 1774857600;
constexpr std::int64_t kGapTo = kGapFrom + 5 * 3600;

// Circuit c of meter m rises by this much a round.
double step_of(int meter, int circuit) { return 0.001 * (meter * 20 + circuit + 1); }

JournalEntry round_at(int meter, std::int64_t unix_s, int n) {
    Pondrel_Data_t data{};
    data.voltage = 230.0f;
    for (int c = 0; c < kPondrelCircuits; ++c) {
        data.power[c] = 100.0f * static_cast<float>(meter + 1);
        data.energy[c] = static_cast<float>(step_of(meter, c) * n);
    }
    JournalEntry entry;
    entry.data_id = static_cast<std::uint32_t>(meter + 1);
    entry.type_code = 1;
    entry.saved_at = boost::posix_time::from_time_t(unix_s);
    entry.utc_offset_s = 0;
    entry.meter = "m" + std::to_string(meter + 1);
    entry.record.resize(sizeof data);
    std::memcpy(entry.record.data(), &data, sizeof data);
    return entry;
}

class EnergyReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        History history(path_);
        for (int meter = 0; meter < 2; ++meter) {
            for (int n = 0; n < kRounds; ++n) {
                const std::int64_t at = kStart + kStep * n;
                if (at >= kGapFrom && at < kGapTo) continue;
                history.append_row(round_at(meter, at, n));
                // The counter as it stood at each stored round, for the expectations.
                if (meter == 0) stored_.push_back({at, n});
            }
        }
        for (int meter = 0; meter < 2; ++meter) {
            ReportMeter m{"m" + std::to_string(meter + 1), meter + 1, "m" + std::to_string(meter + 1), {}, ""};
            for (int c = 1; c <= 18; ++c) m.circuit_names.push_back("circuit " + std::to_string(c));
            setup_.meters.push_back(m);
        }
        setup_.groups.push_back({"Flat 2", {{0, 0}, {0, 1}, {1, 2}}, ""});
    }
    std::vector<ReportRow> report(Period period, std::int64_t since, std::int64_t until) {
        History history(path_, History::Access::ReadOnly);
        ReportAsk ask;
        ask.period = period;
        ask.since = since;
        ask.until = until;
        return make_report(history, setup_, zone_, ask);
    }
    // What circuit c of meter 0 used in [from, to): each rise at the later round's time.
    double used(int c, std::int64_t from, std::int64_t to) const {
        double sum = 0;
        for (std::size_t i = 1; i < stored_.size(); ++i) {
            const auto [at, n] = stored_[i];
            const double rise = static_cast<double>(static_cast<float>(step_of(0, c) * n)) -
                                static_cast<double>(static_cast<float>(step_of(0, c) * stored_[i - 1].second));
            // A rise across the gap is spread over its hours by time.
            const std::int64_t before = stored_[i - 1].first;
            if (at - before > 3600) {
                const std::int64_t lo = std::max(before, from), hi = std::min(at, to);
                if (hi > lo) sum += rise * static_cast<double>(hi - lo) / static_cast<double>(at - before);
            } else if (at >= from && at < to) {
                sum += rise;
            }
        }
        return sum;
    }

    const testing_support::TempFolder folder_{"report-test"};
    const std::string path_ = folder_ / "history.db";
    std::vector<std::pair<std::int64_t, int>> stored_;
    ReportSetup setup_;
    const SiteZone zone_{"Europe/Berlin"};
};

}  // namespace

TEST_F(EnergyReportTest, LocalDaysAddUpToTheCountersRiseAndGroupsSumTheirCircuits) {
    const std::int64_t days[] = {kStart, kStart + 86400, kStart + 86400 + 82800, kStart + 3 * 86400 - 3600};
    const auto rows = report(Period::Day, kStart, days[3]);
    ASSERT_EQ(rows.size(), 3u * 3u);  // three days of m1, m2 and the group
    double total = 0;
    for (int d = 0; d < 3; ++d) {
        SCOPED_TRACE(d);
        const ReportRow& m1 = rows[3 * d];
        const ReportRow& m2 = rows[3 * d + 1];
        const ReportRow& group = rows[3 * d + 2];
        EXPECT_EQ(m1.name, "m1");
        EXPECT_EQ(m1.start, days[d]);
        EXPECT_EQ(m1.end, days[d + 1]);
        EXPECT_NEAR(m1.energy_kwh[4], used(4, days[d], days[d + 1]), 1e-6);
        total += m1.energy_kwh[4];
        ASSERT_TRUE(group.group);
        EXPECT_EQ(group.name, "Flat 2");
        EXPECT_NEAR(group.energy_kwh[0], m1.energy_kwh[0] + m1.energy_kwh[1] + m2.energy_kwh[2], 1e-9);
        EXPECT_NEAR(m1.peak_demand_kw, 18 * 0.1, 1e-9);
        EXPECT_NEAR(m2.peak_demand_kw, 18 * 0.2, 1e-9);
        EXPECT_FALSE(m1.cost.has_value());
    }
    // The day of the change has 23 hours, all of them covered; the gap's day five hours less.
    EXPECT_NEAR(rows[3].coverage, 1.0, 1e-9);
    EXPECT_NEAR(rows[6].coverage, (86400.0 - 5 * 3600 - kStep) / 86400.0, 1e-9);
    // With the last hour's rounds (on the 31st), the days hold the counter's whole rise.
    const auto last = report(Period::Day, days[3], days[3] + 1);
    total += last[0].energy_kwh[4];
    EXPECT_NEAR(total, static_cast<double>(static_cast<float>(step_of(0, 4) * (kRounds - 1))), 1e-5);
    // Hours add up to the same.
    double hours = 0;
    for (const ReportRow& r : report(Period::Hour, kStart, kStart + kStep * kRounds)) {
        if (r.name == "m1") hours += r.energy_kwh[4];
    }
    EXPECT_NEAR(hours, total, 1e-6);
}

TEST_F(EnergyReportTest, CostsFollowTheTariffInForceAndItsWindowsAndAMonthsPeakIsPriced) {
    Tariff before{"home", "EUR", 0.30, "", {}, std::nullopt};
    Tariff after{"home", "EUR", 0.40, "2026-03-30", {}, 10.0};
    after.windows.push_back({0x1f, 7 * 60, 21 * 60, 0.50});  // Mon-Fri 07:00-21:00
    setup_.tariffs = {before, after};
    const auto rows = report(Period::Day, kStart, kStart + kStep * kRounds);
    const std::int64_t monday = kStart + 86400 + 82800;  // 2026-03-30T00:00+02:00
    double expected = 0;
    for (int c = 0; c < 18; ++c) {
        for (std::int64_t h = monday; h < monday + 86400; h += 3600) {
            const int local_hour = static_cast<int>((h - monday) / 3600);
            expected += used(c, h, h + 3600) * (local_hour >= 7 && local_hour < 21 ? 0.50 : 0.40);
        }
    }
    ASSERT_TRUE(rows[6].cost.has_value());
    EXPECT_NEAR(*rows[6].cost, expected, 1e-6);
    EXPECT_EQ(rows[6].currency, "EUR");
    double saturday = 0;
    for (int c = 0; c < 18; ++c) saturday += used(c, kStart, kStart + 86400) * 0.30;
    EXPECT_NEAR(*rows[0].cost, saturday, 1e-6);

    // A month's report adds the month's peak at the demand price in force.
    const auto month = report(Period::Month, kStart, kStart + 1);
    ASSERT_EQ(month.size(), 3u);
    double energy_cost = 0;
    for (int d = 0; d < 4; ++d) energy_cost += *rows[3 * d].cost;
    EXPECT_NEAR(*month[0].cost, energy_cost + 1.8 * 10.0, 1e-6);
}

TEST_F(EnergyReportTest, FormatsGiveLocalTimesWithOffsetsAndPlainNumbers) {
    const auto rows = report(Period::Day, kStart + 86400, kStart + 86400 + 1);
    const std::string json = report_json(rows, zone_);
    EXPECT_NE(json.find("{\"period_start\":\"2026-03-29T00:00:00+01:00\",\"period_end\":\"2026-03-30T00:00:00+02:00\","
                        "\"meter\":\"m1\",\"energy_kWh\":["),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"group\":\"Flat 2\",\"energy_kWh\":"), std::string::npos);
    EXPECT_NE(json.find("\"cost\":null,\"currency\":null,\"peak_demand_kW\":1.8,\"peak_at\":\"2026-03-29T"),
              std::string::npos);
    EXPECT_EQ(json.find("e-"), std::string::npos) << "no exponents";
    const std::string csv = report_csv(rows, zone_);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "start_date,start_time,end_date,end_time,utc_offset,kind,name,circuit,circuit_name,energy_kWh,cost,"
              "currency,peak_demand_kW,peak_date,peak_time,coverage");
    EXPECT_NE(csv.find("\r\n2026-03-29,00:00,2026-03-30,00:00,+01:00,meter,\"m1\",1,\"circuit 1\","), std::string::npos);
    EXPECT_NE(csv.find(",group,\"Flat 2\",,,"), std::string::npos);
}
