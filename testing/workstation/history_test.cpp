// The history's write-ahead log stays small however many rounds are stored,
// so a history fits a small disk.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "history.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

long size_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : 0;
}

}  // namespace

TEST(History, TheWriteAheadLogStaysSmallWhateverIsStored) {
    const testing_support::TempFolder dir("history-test");
    const std::string path = dir / "history.db";
    {
        History history(path);
        const unsigned char record[231] = {1, 2, 3};
        auto at = boost::posix_time::ptime(boost::gregorian::date(2026, 3, 1));
        long largest = 0;
        // 3,000 rounds write about 12 MB of pages: four times the size the
        // log would reach before SQLite's own first checkpoint.
        for (int round = 0; round < 3000; ++round) {
            history.append(static_cast<std::uint32_t>(1 + round % 8), 1, at, record, sizeof record);
            at += boost::posix_time::seconds(1);
            largest = std::max(largest, size_of(path + "-wal"));
        }
        EXPECT_LE(largest, History::kWalBytes + 16 * 4096) << "the log grew to " << largest << " bytes";
    }
}
