// A series over a range of time: the per-minute totals the history keeps as
// rounds are stored, read back as at most N buckets; the same figures from
// the rows (short buckets) and from the minutes (long ones), through a
// restart within a minute, a refused write, an older history and pruning.
#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "history.h"
#include "history_query.h"
#include "pondrel_data.h"
#include "temp_folder.h"

using namespace pondrel;
using boost::posix_time::ptime;
using boost::posix_time::seconds;

namespace {

const ptime kStart = boost::posix_time::time_from_string("2026-12-10 10:00:00");
const std::int64_t kStartUnix = 1796896800;  // kStart as UTC

// Round n of a meter whose voltage, powers and counters move with n.
JournalEntry round_at(int n, const std::string& meter = "m") {
    Pondrel_Data_t data{};
    data.voltage = 220.0f + static_cast<float>(n % 20);
    for (int c = 0; c < kPondrelCircuits; ++c) {
        data.current[c] = static_cast<float>(c) + 0.5f;
        data.power[c] = static_cast<float>(100 * c + n);
        data.energy[c] = static_cast<float>(c) + 0.001f * static_cast<float>(n);
    }
    JournalEntry entry;
    entry.data_id = 7;
    entry.type_code = 1;
    entry.saved_at = kStart + seconds(n);
    entry.utc_offset_s = 0;
    entry.meter = meter;
    entry.record.resize(sizeof data);
    std::memcpy(entry.record.data(), &data, sizeof data);
    return entry;
}

class HistoryQueryTest : public ::testing::Test {
protected:

    // Rounds `from` to `to` (exclusive) stored one a second, in one transaction.
    void store(History& history, int from, int to) {
        std::vector<JournalEntry> entries;
        for (int n = from; n < to; ++n) entries.push_back(round_at(n));
        history.append_from_journal(entries, 1, to);
    }
    HistoryQuery::Answer query(std::int64_t since, std::int64_t until, int points) {
        return HistoryQuery(path_).series(7, "m", since, until, points);
    }

    const testing_support::TempFolder folder_{"query-test"};
    const std::string dir_ = folder_.path();
    const std::string path_ = dir_ + "/history.db";
};

// What rounds [from, to) of round_at sum to.
struct Expected {
    double voltage_min = 1e9, voltage_max = -1e9, voltage_mean = 0, power0_mean = 0, energy_used = 0;
};
Expected expected(int from, int to, int energy_from) {
    Expected e;
    for (int n = from; n < to; ++n) {
        const double v = 220.0 + n % 20;
        e.voltage_min = std::min(e.voltage_min, v);
        e.voltage_max = std::max(e.voltage_max, v);
        e.voltage_mean += v / (to - from);
        e.power0_mean += static_cast<double>(n) / (to - from);
    }
    for (int c = 0; c < kPondrelCircuits; ++c) {
        e.energy_used += static_cast<double>(static_cast<float>(c) + 0.001f * static_cast<float>(to - 1)) -
                         static_cast<double>(static_cast<float>(c) + 0.001f * static_cast<float>(energy_from));
    }
    return e;
}

void expect_bucket(const HistoryQuery::Bucket& b, const Expected& e, std::int64_t rounds) {
    EXPECT_EQ(b.rounds, rounds);
    EXPECT_DOUBLE_EQ(b.voltage_min, e.voltage_min);
    EXPECT_DOUBLE_EQ(b.voltage_max, e.voltage_max);
    EXPECT_NEAR(b.voltage_mean, e.voltage_mean, 1e-9);
    EXPECT_NEAR(b.power_mean[0], e.power0_mean, 1e-9);
    EXPECT_NEAR(b.current_mean[3], 3.5, 1e-9);
    EXPECT_NEAR(b.energy_used, e.energy_used, 1e-6);
}

}  // namespace

TEST_F(HistoryQueryTest, BucketsFromRowsAndFromMinutesAgree) {
    {
        History history(path_);
        store(history, 0, 600);  // ten minutes, one round a second
    }
    const struct {
        std::int64_t since, until;
        int points;
        std::int64_t bucket_s;
        bool from_minutes;
        std::size_t buckets;
    } cases[] = {
        {0, 600, 1000, 1, false, 600},   // every round its own bucket
        {0, 600, 20, 30, false, 20},     // half minutes from the rows
        {0, 600, 10, 60, true, 10},      // whole minutes from the totals
        {0, 600, 4, 180, true, 4},       // widths rounded up to whole minutes
        {0, 600, 1, 600, true, 1},
        {-3600, 7200, 100, 120, true, 5},  // a wider range: only buckets with rounds
        {30, 90, 2, 30, false, 2},
        {600, 700, 10, 10, false, 0},    // after the last round
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.since) + ".." + std::to_string(c.until) + " in " + std::to_string(c.points));
        const auto answer = query(kStartUnix + c.since, kStartUnix + c.until, c.points);
        EXPECT_EQ(answer.bucket_s, c.bucket_s);
        EXPECT_EQ(answer.from_minutes, c.from_minutes);
        ASSERT_EQ(answer.buckets.size(), c.buckets);
        EXPECT_LE(answer.buckets.size(), static_cast<std::size_t>(c.points));
        if (c.buckets == 0) continue;
        const auto& first = answer.buckets.front();
        const int from = static_cast<int>(std::max<std::int64_t>(first.start - kStartUnix, 0));
        const int to = static_cast<int>(std::min<std::int64_t>(from + c.bucket_s, 600));
        EXPECT_EQ(first.start, kStartUnix + std::max<std::int64_t>(c.since, 0));
        expect_bucket(first, expected(from, to, from), to - from);
        // The next bucket's energy runs from this one's last round.
        if (answer.buckets.size() > 1) {
            const int next_to = static_cast<int>(std::min<std::int64_t>(to + c.bucket_s, 600));
            expect_bucket(answer.buckets[1], expected(to, next_to, to - 1), next_to - to);
        }
    }
}

TEST_F(HistoryQueryTest, MinutesSurviveARestartWithinThemAndARefusedWrite) {
    {
        History history(path_);
        store(history, 0, 90);  // a minute and a half
    }
    {
        History history(path_);
        // Another writer holds the history: the batch is refused and comes again.
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        history.set_busy_timeout(10);
        EXPECT_THROW(store(history, 90, 150), std::runtime_error);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        store(history, 90, 150);
        store(history, 150, 180);
    }
    const auto answer = query(kStartUnix, kStartUnix + 180, 3);
    ASSERT_EQ(answer.buckets.size(), 3u);
    for (int m = 0; m < 3; ++m) {
        SCOPED_TRACE(m);
        expect_bucket(answer.buckets[m], expected(60 * m, 60 * m + 60, m == 0 ? 0 : 60 * m - 1), 60);
    }
}

TEST_F(HistoryQueryTest, AnOlderHistoryGainsItsMinutesEvenInStartsCutShortAndPruningTakesThemAway) {
    {
        History history(path_);
        store(history, 0, 120);
    }
    const auto execute = [&](const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    };
    const auto three_minutes = [&] {
        const auto answer = query(kStartUnix, kStartUnix + 180, 3);
        ASSERT_EQ(answer.buckets.size(), 3u);
        for (int m = 0; m < 3; ++m) {
            SCOPED_TRACE(m);
            expect_bucket(answer.buckets[m], expected(60 * m, 60 * m + 60, m == 0 ? 0 : 60 * m - 1), 60);
        }
    };
    // Schema 2, and a stop before the first batch: nothing is lost, the next start does it.
    execute("DROP TABLE minutes; PRAGMA user_version=2");
    EXPECT_THROW(History(path_, History::Access::ReadWrite, [] { return true; }), std::runtime_error);
    {
        History history(path_);
        store(history, 120, 180);
    }
    three_minutes();
    // A start cut short after its first minute's rows: the next goes on from there.
    execute("DELETE FROM minutes WHERE minute > 29948280; CREATE TABLE minutes_catch_up (next_row INTEGER NOT NULL);"
            "INSERT INTO minutes_catch_up VALUES (60)");
    { History history(path_); }
    three_minutes();
    {
        // The cutoff is local time; the rows were stored at UTC.
        const char* zone = std::getenv("TZ");
        const std::string was = zone != nullptr ? zone : "";
        setenv("TZ", "UTC", 1);
        tzset();
        History history(path_);
        history.prune(7, kStart + seconds(120));
        // The rows went; their minutes are kept longer, and still answer.
        ASSERT_EQ(query(kStartUnix, kStartUnix + 180, 3).buckets.size(), 3u);
        history.prune_minutes(7, kStart + seconds(120));
        if (zone != nullptr) setenv("TZ", was.c_str(), 1); else unsetenv("TZ");
        tzset();
    }
    const auto answer = query(kStartUnix, kStartUnix + 180, 3);
    ASSERT_EQ(answer.buckets.size(), 1u);
    EXPECT_EQ(answer.buckets[0].start, kStartUnix + 120);
}

TEST_F(HistoryQueryTest, EachMeterOfADataIdIsItsOwnSeries) {
    {
        History history(path_);
        store(history, 0, 60);
        JournalEntry other = round_at(0, "another");
        history.append_row(other);
    }
    EXPECT_EQ(HistoryQuery(path_).series(7, "another", kStartUnix, kStartUnix + 60, 1).buckets.at(0).rounds, 1);
    EXPECT_EQ(HistoryQuery(path_).series(7, "m", kStartUnix, kStartUnix + 60, 1).buckets.at(0).rounds, 60);
    EXPECT_TRUE(HistoryQuery(path_).series(8, "m", kStartUnix, kStartUnix + 60, 100).buckets.empty());
}
