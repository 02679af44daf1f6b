// The journal's reserve: allocated ahead, so entries go on into it when the
// file cannot grow (a full disk), kept through a reopen and a reset, and a
// torn entry after the last whole one is cleared, never read as one.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "round_journal.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

constexpr std::int64_t kReserve = 64 * 1024;

JournalEntry entry_of(int n) {
    JournalEntry entry;
    entry.data_id = static_cast<std::uint32_t>(n);
    entry.type_code = 5156;
    entry.saved_at = boost::posix_time::ptime(boost::gregorian::date(2026, 3, 1)) + boost::posix_time::seconds(n);
    entry.meter = "m" + std::to_string(n % 3);
    entry.record.assign(231, static_cast<unsigned char>(n));
    return entry;
}

class RoundJournalTest : public ::testing::Test {
protected:
    std::int64_t allocated() const {
        struct stat info {};
        ::stat(path_.c_str(), &info);
        return static_cast<std::int64_t>(info.st_blocks) * 512;
    }
    const testing_support::TempFolder dir_{"journal-test"};
    const std::string path_ = dir_ / "history.db.journal";
};

}  // namespace

TEST_F(RoundJournalTest, TheReserveTakesEntriesWhenTheFileCannotGrowAndOutlivesAReopenAndAReset) {
    std::uint64_t id = 0;
    int appended = 0;
    {
        RoundJournal journal(path_, kReserve);
        ASSERT_EQ(journal.reserved(), kReserve) << journal.reserve_error();
        EXPECT_GE(allocated(), kReserve);
        id = journal.id();
        // The file may not grow at all from here, as on a full disk.
        struct stat info {};
        ASSERT_EQ(::stat(path_.c_str(), &info), 0);
        struct rlimit old {};
        getrlimit(RLIMIT_FSIZE, &old);
        const auto old_signal = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = old;
        limit.rlim_cur = static_cast<rlim_t>(info.st_size);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        bool refused = false;
        for (int n = 0; n < 1000 && !refused; ++n) {
            try {
                journal.append(entry_of(n));
                ++appended;
            } catch (const std::runtime_error&) {
                refused = true;  // the reserve is used up
            }
        }
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, old_signal);
        EXPECT_TRUE(refused);
        // Every entry the reserve holds: its size over one entry's.
        EXPECT_EQ(appended, (kReserve - 16) / (4 + 23 + 2 + 231 + 4));
        journal.sync();
    }
    {
        RoundJournal journal(path_, kReserve);
        EXPECT_EQ(journal.id(), id);
        ASSERT_EQ(journal.opened_with().size(), static_cast<std::size_t>(appended));
        EXPECT_EQ(journal.opened_with().back().record, entry_of(appended - 1).record);
        EXPECT_EQ(journal.opened_with().back().meter, entry_of(appended - 1).meter);
        journal.reset();
        EXPECT_NE(journal.id(), id);
        EXPECT_GE(allocated(), kReserve);
    }
    RoundJournal emptied(path_, kReserve);
    EXPECT_TRUE(emptied.opened_with().empty());
    EXPECT_EQ(emptied.reserved(), kReserve);
}

TEST_F(RoundJournalTest, ATornEntryInTheReserveIsClearedNotReadAsOne) {
    std::int64_t end = 0;
    {
        RoundJournal journal(path_, kReserve);
        for (int n = 0; n < 3; ++n) journal.append(entry_of(n));
        end = journal.bytes();
    }
    // A kill in the middle of an entry: its length and a few bytes of it.
    const int fd = ::open(path_.c_str(), O_WRONLY);
    const unsigned char torn[] = {0x10, 0x01, 0, 0, 7, 7, 7, 7, 7};
    ASSERT_EQ(::pwrite(fd, torn, sizeof torn, static_cast<off_t>(end)), static_cast<ssize_t>(sizeof torn));
    ::close(fd);
    {
        RoundJournal journal(path_, kReserve);
        ASSERT_EQ(journal.opened_with().size(), 3u);
        EXPECT_EQ(journal.bytes(), end);
        journal.append(entry_of(3));  // shorter than what the torn one claimed
    }
    RoundJournal again(path_, kReserve);
    ASSERT_EQ(again.opened_with().size(), 4u);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(again.opened_with()[static_cast<std::size_t>(n)].record, entry_of(n).record) << n;
    EXPECT_GE(allocated(), kReserve);
}
