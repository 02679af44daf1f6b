// The history as a broker's outbox: where a destination starts, what waits
// after its acknowledged row, that the acknowledgement lasts, and that
// retention keeps what was not yet published.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "history.h"
#include "outbox.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override { history_ = std::make_unique<History>(path_); }
    void append(std::uint32_t data_id, boost::posix_time::ptime at) {
        const unsigned char record[4] = {1, 2, 3, static_cast<unsigned char>(data_id)};
        history_->append(data_id, 1, at, record, sizeof record);
    }

    const testing_support::TempFolder folder_{"outbox-test"};  // outlives the history
    const std::string dir_ = folder_.path();
    const std::string path_ = dir_ + "/history.db";
    std::unique_ptr<History> history_;
    const boost::posix_time::ptime now_ = boost::posix_time::second_clock::local_time();
};

}  // namespace

TEST_F(OutboxTest, ADestinationStartsAfterTheNewestRowAndResumesWhereItWasAcknowledged) {
    append(1, now_);
    append(2, now_);
    {
        Outbox outbox(path_, "mqtt://a");
        EXPECT_EQ(outbox.acknowledged(), 2);
        EXPECT_TRUE(outbox.rows_after(outbox.acknowledged(), 10).empty());
        append(1, now_);
        append(2, now_);
        append(1, now_);
        const auto rows = outbox.rows_after(outbox.acknowledged(), 2);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].id, 3);
        EXPECT_EQ(rows[1].id, 4);
        EXPECT_EQ(rows[1].data_id, 2u);
        EXPECT_EQ(outbox.waiting(), 3);
        outbox.acknowledge(4);
        EXPECT_EQ(outbox.waiting(), 1);
        const auto before = outbox.record_at_or_before(2, 5);
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(before->back(), 2);
    }
    // After a restart: where it was; another broker has its own place.
    EXPECT_EQ(Outbox(path_, "mqtt://a").acknowledged(), 4);
    EXPECT_EQ(Outbox(path_, "mqtt://b").acknowledged(), 5);
}

TEST_F(OutboxTest, RetentionKeepsTheRowsAfterTheAcknowledgedOne) {
    const auto old = now_ - boost::posix_time::hours(24 * 10);
    for (int i = 0; i < 6; ++i) append(1, old);  // ids 1 to 6, all old
    append(1, now_);                             // 7
    const auto cutoff = now_ - boost::posix_time::hours(24);
    EXPECT_EQ(history_->prune(1, cutoff, 3), 3);  // 1, 2, 3 go; 4 to 6 wait for the broker
    Outbox outbox(path_, "mqtt://a");
    const auto rows = outbox.rows_after(0, 10);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].id, 4);
    EXPECT_EQ(history_->prune(1, cutoff, std::nullopt), 3);  // too many waited: they go too
}
