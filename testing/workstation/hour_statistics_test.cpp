// Hourly statistics: the energy rule (rises to the later round's hour, gaps
// spread, resets from zero, dips refused), the hours adding up to the
// counter's rise, quarter-hour peaks, coverage, and the history writing them
// with its rows, across restarts and for an older history at its first start.
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "history.h"
#include "hour_statistics.h"
#include "pondrel_data.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

constexpr std::int64_t kDay = 1796860800;  // 2026-12-10T00:00:00Z
constexpr std::int64_t kHour = kDay / 3600;

class MapStore : public HourStore {
public:
    std::optional<HourStatistics> read_hour(std::int64_t hour) override {
        const auto found = hours.find(hour);
        if (found == hours.end()) return std::nullopt;
        return found->second;
    }
    void write_hour(const HourStatistics& statistics) override { hours[statistics.hour] = statistics; }
    std::map<std::int64_t, HourStatistics> hours;
};

RoundValues round_of(float energy, float power = 100, float voltage = 230) {
    RoundValues v;
    v.voltage = voltage;
    v.power.fill(power);
    v.energy.fill(energy);
    return v;
}

// Circuit 1's energy per hour (from the day's first hour).
std::map<std::int64_t, double> energy_by_hour(const MapStore& store) {
    std::map<std::int64_t, double> used;
    for (const auto& [hour, h] : store.hours) {
        if (h.circuits[0].energy_used != 0) used[hour - kHour] = h.circuits[0].energy_used;
    }
    return used;
}

}  // namespace

TEST(StatisticsBook, BooksEachRiseToTheHourOfTheLaterRoundAndSpreadsLongGaps) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, float>> rounds;  // seconds after midnight UTC, counter
        std::map<std::int64_t, double> expected;             // hour -> kWh
    };
    const std::vector<Case> cases = {
        {"within an hour", {{0, 1.0f}, {10, 1.5f}, {3599, 2.0f}}, {{0, 1.0}}},
        {"across an hour's end", {{3000, 1.0f}, {4200, 2.0f}}, {{1, 1.0}}},
        {"a gap of three hours is spread over them", {{0, 0.0f}, {3 * 3600, 3.0f}}, {{0, 1.0}, {1, 1.0}, {2, 1.0}}},
        {"a gap from half past", {{1800, 0.0f}, {3 * 3600 + 1800, 6.0f}},
         {{0, 1.0}, {1, 2.0}, {2, 2.0}, {3, 1.0}}},
        {"a dip is refused, its return books nothing twice", {{0, 5.0f}, {10, 4.0f}, {20, 5.5f}}, {{0, 0.5}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MapStore store;
        StatisticsBook book;
        std::int64_t row = 0;
        for (const auto& [at, kwh] : c.rounds) ASSERT_TRUE(book.add(store, kDay + at, round_of(kwh), ++row));
        const auto used = energy_by_hour(store);
        ASSERT_EQ(used.size(), c.expected.size());
        for (const auto& [hour, kwh] : c.expected) EXPECT_NEAR(used.at(hour), kwh, 1e-9) << "hour " << hour;
    }
}

TEST(StatisticsBook, AResetCountsTheNewCounterFromZero) {
    MapStore store;
    StatisticsBook book;
    ASSERT_TRUE(book.add(store, kDay, round_of(50.0f), 1));
    ASSERT_TRUE(book.add(store, kDay + 10, round_of(51.0f), 2));
    // The meter's counter starts again: taken after EnergyGuard::kResetRounds lower readings.
    for (int n = 0; n < EnergyGuard::kResetRounds; ++n) {
        ASSERT_TRUE(book.add(store, kDay + 20 + 10 * n, round_of(0.25f + 0.05f * static_cast<float>(n)), 3 + n));
    }
    ASSERT_TRUE(book.add(store, kDay + 200, round_of(1.0f), 20));
    // 1 kWh before the reset, 0.7 kWh (0 to 0.7) up to the reset's taking, 0.3 after.
    EXPECT_NEAR(store.hours.at(kHour).circuits[0].energy_used, 1.0 + 0.7 + 0.3, 1e-6);
    EXPECT_EQ(store.hours.at(kHour).circuits[0].energy_first, 50.0f);
    EXPECT_EQ(store.hours.at(kHour).circuits[0].energy_last, 1.0f);
}

TEST(StatisticsBook, HoursAddUpToTheCountersRiseWhateverTheGapsAndRestarts) {
    std::mt19937 random(7);
    MapStore store;
    auto book = std::make_unique<StatisticsBook>();
    std::int64_t at = kDay + 17;
    float kwh = 1234.5f;
    float first = 0;
    for (int row = 1; row <= 5000; ++row) {
        // Mostly seconds apart, sometimes minutes, now and then hours or days.
        const int pick = static_cast<int>(random() % 1000);
        at += pick < 900 ? 1 + pick % 10 : pick < 990 ? 60 + pick * 7 : 3600 + pick * 600;
        kwh += static_cast<float>(random() % 100) * 0.001f;
        if (row % 997 == 0) {
            // A restart: a new book goes on from the newest stored hour.
            const HourStatistics& newest = store.hours.rbegin()->second;
            book = std::make_unique<StatisticsBook>();
            std::array<float, HourStatistics::kCircuits> booked{};
            for (std::size_t n = 0; n < booked.size(); ++n) booked[n] = newest.circuits[n].energy_last;
            book->resume(newest.last_s, booked);
        }
        ASSERT_TRUE(book->add(store, at, round_of(kwh), row));
        if (row == 1) first = kwh;
    }
    double sum = 0;
    for (const auto& [hour, h] : store.hours) sum += h.circuits[5].energy_used;
    EXPECT_NEAR(sum, static_cast<double>(kwh) - static_cast<double>(first), 1e-6);
}

TEST(StatisticsBook, PeaksAreQuarterHourMeansAndCoverageTheTimeBetweenCloseRounds) {
    MapStore store;
    StatisticsBook book;
    // A round a minute; the second quarter draws 400 W a circuit, the others 100 W.
    for (int minute = 0; minute < 60; ++minute) {
        const float power = minute >= 15 && minute < 30 ? 400.0f : 100.0f;
        ASSERT_TRUE(book.add(store, kDay + 60 * minute, round_of(1.0f, power, 220.0f + static_cast<float>(minute % 3)),
                             minute + 1));
    }
    // Rounds ten minutes apart leave the time between them uncovered.
    ASSERT_TRUE(book.add(store, kDay + 3600 + 600, round_of(1.0f), 61));
    const HourStatistics& h = store.hours.at(kHour);
    EXPECT_EQ(h.rounds, 60);
    EXPECT_EQ(h.covered_ms, 59 * 60 * 1000);
    EXPECT_DOUBLE_EQ(h.meter_peak(), 18 * 400.0);
    EXPECT_EQ(h.meter_peak_at_quarter(), 1);
    EXPECT_DOUBLE_EQ(h.circuit_peak_w(17), 400.0);
    EXPECT_EQ(h.circuits[0].power_max, 400.0f);
    EXPECT_DOUBLE_EQ(h.voltage_min, 220.0);
    EXPECT_DOUBLE_EQ(h.voltage_max, 222.0);
    EXPECT_EQ(store.hours.at(kHour + 1).covered_ms, 0);

    // The open quarter counts: a last quarter higher than all before is the peak.
    MapStore open;
    StatisticsBook late;
    for (int minute = 0; minute < 50; ++minute) {
        ASSERT_TRUE(late.add(open, kDay + 60 * minute, round_of(1.0f, minute >= 45 ? 900.0f : 100.0f), minute + 1));
    }
    EXPECT_DOUBLE_EQ(open.hours.at(kHour).meter_peak(), 18 * 900.0);
    EXPECT_EQ(open.hours.at(kHour).meter_peak_at_quarter(), 3);
}

namespace {

JournalEntry entry_at(std::int64_t unix_s, float kwh, const std::string& meter = "m1") {
    Pondrel_Data_t data{};
    data.voltage = 230.0f;
    for (int c = 0; c < kPondrelCircuits; ++c) {
        data.power[c] = 50.0f * static_cast<float>(c);
        data.energy[c] = kwh + static_cast<float>(c);
    }
    JournalEntry entry;
    entry.data_id = 3;
    entry.type_code = 1;
    entry.saved_at = boost::posix_time::from_time_t(unix_s);
    entry.utc_offset_s = 0;
    entry.meter = meter;
    entry.record.resize(sizeof data);
    std::memcpy(entry.record.data(), &data, sizeof data);
    return entry;
}

std::vector<std::vector<unsigned char>> stored_hours(const std::string& path) {
    std::vector<std::vector<unsigned char>> found;
    History history(path, History::Access::ReadOnly);
    history.for_each_hour(3, "m1", 0, INT64_MAX, [&](const HourStatistics& h) {
        std::vector<unsigned char> bytes = h.stored_circuits();
        const std::int64_t head[] = {h.hour, h.rounds, h.first_row, h.last_row, h.last_s, h.covered_ms};
        bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(head),
                     reinterpret_cast<const unsigned char*>(head) + sizeof head);
        found.push_back(bytes);
    });
    return found;
}

}  // namespace

TEST(HistoryStatistics, WrittenWithTheRowsAcrossRestartsAndGivenToAnOlderHistoryAlike) {
    const testing_support::TempFolder dir("hours-test");
    const std::string path = dir / "history.db";
    // Two days of rounds a minute apart, a gap of five hours, stored over three runs.
    std::vector<JournalEntry> rounds;
    for (int n = 0; n < 2 * 24 * 60; ++n) {
        const std::int64_t at = kDay + 60 * n + (n >= 1000 ? 5 * 3600 : 0);
        rounds.push_back(entry_at(at, 10.0f + 0.01f * static_cast<float>(n)));
    }
    const std::size_t cuts[] = {0, 700, 1500, rounds.size()};
    for (int run = 0; run < 3; ++run) {
        History history(path);
        for (std::size_t n = cuts[run]; n < cuts[run + 1]; ++n) history.append_row(rounds[n]);
    }
    const auto live = stored_hours(path);
    ASSERT_EQ(live.size(), 48u + 5u);
    double used = 0;
    {
        History history(path, History::Access::ReadOnly);
        history.for_each_hour(3, "m1", 0, INT64_MAX, [&](const HourStatistics& h) { used += h.circuits[2].energy_used; });
    }
    EXPECT_NEAR(used, static_cast<double>(10.0f + 0.01f * 2879 + 2) - (10.0 + 2), 1e-6);

    // A history from before it had hours gains the same ones at its first start.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE hours; PRAGMA user_version=3", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    { History history(path); }
    EXPECT_EQ(stored_hours(path), live);

    // Pruning takes the hours that ended before the cutoff.
    setenv("TZ", "UTC", 1);
    tzset();
    {
        History history(path);
        history.prune_statistics(3, boost::posix_time::from_time_t(kDay + 10 * 3600 + 1));
    }
    EXPECT_EQ(stored_hours(path).size(), live.size() - 10);
}
