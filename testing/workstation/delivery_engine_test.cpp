// The delivery engine against a scripted destination: rows go in storing
// order, whole; an outage is retried without losing or repeating a row; rows
// the destination calls invalid are passed over; a restart goes on from the
// last row taken; a stop sends what waits; retention keeps what waits.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "delivery_engine.h"
#include "history.h"
#include "pondrel_data.h"
#include "temp_folder.h"

using namespace pondrel;
using namespace std::chrono_literals;

namespace {

// Answers as scripted (then "delivered"), and keeps every row it took.
class Scripted : public Destination {
public:
    std::string name() const override { return "the scripted destination"; }
    std::size_t batch_rows() const override { return 7; }
    Answer send(const std::vector<History::Row>& rows) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++sends;
        Answer answer;
        if (!script.empty()) {
            answer = script.front();
            script.pop_front();
        }
        if (answer.verdict == Verdict::Delivered) {
            for (const History::Row& row : rows) taken.push_back(row.id);
        } else if (answer.verdict == Verdict::Skip) {
            for (const History::Row& row : rows) skipped.push_back(row.id);
        }
        changed.notify_all();
        return answer;
    }
    // Waits (generously) until `count` rows were taken or passed over.
    bool wait_for(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return taken.size() + skipped.size() >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Answer> script;
    std::vector<std::int64_t> taken, skipped;
    int sends = 0;
};

class DeliveryEngineTest : public ::testing::Test {
protected:
    void SetUp() override { history_ = std::make_unique<History>(path_); }
    // Stores `count` rounds, one a transaction, returning their row ids.
    std::vector<std::int64_t> store(int count) {
        std::vector<std::int64_t> ids;
        for (int n = 0; n < count; ++n) {
            Pondrel_Data_t data{};
            data.voltage = 230.0f + static_cast<float>(stored_);
            JournalEntry entry;
            entry.data_id = 1;
            entry.type_code = 1;
            entry.saved_at = boost::posix_time::time_from_string("2026-12-11 10:00:00") +
                             boost::posix_time::seconds(stored_);
            entry.meter = "m1";
            entry.record.resize(sizeof data);
            std::memcpy(entry.record.data(), &data, sizeof data);
            history_->append_from_journal({entry}, 1, ++stored_);
            ids.push_back(stored_);
        }
        return ids;
    }
    std::unique_ptr<DeliveryEngine> engine(Scripted*& destination, std::int64_t max_pending = 1000) {
        auto scripted = std::make_unique<Scripted>();
        destination = scripted.get();
        return std::make_unique<DeliveryEngine>(std::move(scripted), std::make_unique<Outbox>(path_, "scripted"),
                                                [this](Severity, const std::string& line) {
                                                    std::lock_guard<std::mutex> lock(said_mutex_);
                                                    said_.push_back(line);
                                                },
                                                max_pending, DeliveryEngine::Timing{1ms, 4ms, 5ms});
    }
    std::vector<std::string> said() {
        std::lock_guard<std::mutex> lock(said_mutex_);
        return said_;
    }

    const testing_support::TempFolder folder_{"delivery-test"};
    const std::string path_ = folder_ / "history.db";
    std::unique_ptr<History> history_;
    int stored_ = 0;
    std::mutex said_mutex_;
    std::vector<std::string> said_;
};

}  // namespace

TEST_F(DeliveryEngineTest, AnOutageLosesAndRepeatsNothingAndIsSaidOnceEachWay) {
    Scripted* destination = nullptr;
    auto sender = engine(destination);
    // Three refusals of one kind, then two of another, then it takes them.
    for (int n = 0; n < 3; ++n) destination->script.push_back({Destination::Verdict::Retry, "cannot be reached"});
    for (int n = 0; n < 2; ++n) destination->script.push_back({Destination::Verdict::Retry, "answers 503"});
    const std::vector<std::int64_t> ids = store(20);
    sender->start();
    ASSERT_TRUE(destination->wait_for(20));
    EXPECT_EQ(destination->taken, ids);
    const auto more = store(5);
    sender->wake();
    ASSERT_TRUE(destination->wait_for(25));
    sender->stop();
    std::vector<std::int64_t> all = ids;
    all.insert(all.end(), more.begin(), more.end());
    EXPECT_EQ(destination->taken, all);
    const auto lines = said();
    ASSERT_EQ(lines.size(), 3u) << lines.front();
    EXPECT_EQ(lines[0].rfind("the scripted destination: cannot be reached; ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("the scripted destination: answers 503; ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "the scripted destination takes rounds again");
    EXPECT_EQ(sender->waiting(), 0);
}

TEST_F(DeliveryEngineTest, InvalidRowsArePassedOverAndARestartGoesOnFromTheLastTaken) {
    Scripted* destination = nullptr;
    {
        auto sender = engine(destination);
        // Rows stored before a destination was first configured are not sent: these are after.
        const std::vector<std::int64_t> ids = store(10);
        destination->script.push_back({Destination::Verdict::Skip, "answers 400: unable to parse"});
        sender->start();
        ASSERT_TRUE(destination->wait_for(10));
        sender->stop();
        // The first batch (7 rows) was refused as invalid, the rest taken.
        EXPECT_EQ(destination->skipped, std::vector<std::int64_t>(ids.begin(), ids.begin() + 7));
        EXPECT_EQ(destination->taken, std::vector<std::int64_t>(ids.begin() + 7, ids.end()));
        EXPECT_NE(said().at(0).find("refused rows 1 to 7 as invalid (answers 400: unable to parse)"),
                  std::string::npos);
    }

    // Rows stored while it was away go at the next start, and only they.
    const std::vector<std::int64_t> later = store(4);
    auto again = engine(destination);
    again->start();
    ASSERT_TRUE(destination->wait_for(4));
    again->stop();
    EXPECT_EQ(destination->taken, later);
}

TEST_F(DeliveryEngineTest, AStopSendsWhatWaitsAndRetentionKeepsItUnlessTooMuchWaits) {
    Scripted* destination = nullptr;
    auto sender = engine(destination, 10);
    // Nothing taken yet: the rows after the last taken are kept.
    store(8);
    EXPECT_EQ(sender->keep_after(), std::optional<std::int64_t>(0));
    destination->script.assign(1000000, {Destination::Verdict::Retry, "answers 500"});
    sender->start();
    {
        std::unique_lock<std::mutex> lock(destination->mutex);
        ASSERT_TRUE(destination->changed.wait_for(lock, 20s, [&] { return destination->sends >= 3; }));
    }
    store(5);
    sender->wake();
    // 13 wait, more than max_pending: retention lets them go, said once.
    for (int tries = 0; tries < 2; ++tries) {
        std::unique_lock<std::mutex> lock(destination->mutex);
        const int sends = destination->sends;
        ASSERT_TRUE(destination->changed.wait_for(lock, 20s, [&] { return destination->sends > sends; }));
    }
    EXPECT_EQ(sender->keep_after(), std::nullopt);
    EXPECT_EQ(sender->keep_after(), std::nullopt);
    {
        std::lock_guard<std::mutex> lock(destination->mutex);
        destination->script.clear();
    }
    sender->stop();
    EXPECT_EQ(destination->taken.size(), 13u);
    int overflow = 0;
    for (const std::string& line : said()) overflow += line.find("more than max_pending (10)") != std::string::npos;
    EXPECT_EQ(overflow, 1);
}
