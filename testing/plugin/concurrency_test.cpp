// Snapshot requests from several host threads at once, with polling rounds
// serialised against them as the host does (a round excludes requests;
// requests run alongside each other). Every text must be whole: all of its
// numbers come from one round.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>
#include <gtest/gtest.h>

#include "driver_fixture.h"
#include "driver_harness.h"
#include "stdout_capture.h"

namespace {

class ConcurrencyTest : public testing_support::DriverTest {};

// The one value every number of the text holds, or -1 if they differ.
double uniform_value(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    if (!reader.parse(text, value) || value.size() != 56) return -1;
    double common = -2;
    for (const auto& name : value.getMemberNames()) {
        if (!value[name].isDouble()) continue;
        if (common == -2) common = value[name].asDouble();
        if (value[name].asDouble() != common) return -1;
    }
    return common;
}

}  // namespace

TEST_F(ConcurrencyTest, ConcurrentSnapshotRequestsGetWholeIdenticalTexts) {
    constexpr int kRounds = 40;
    constexpr int kReaders = 4;
    std::shared_mutex host_lock;
    // Taken by a round before host_lock, and briefly by readers before theirs,
    // so that a waiting round is not starved by the readers.
    std::mutex round_gate;
    std::atomic<bool> done{false};
    std::atomic<int> bad_texts{0};
    std::atomic<int> bad_addresses{0};
    std::atomic<long> requests{0};
    const auto start = boost::posix_time::second_clock::local_time();

    testing_support::StdoutCapture quiet;
    {
        std::shared_lock<std::shared_mutex> first(host_lock);
        harness::complete_round(*driver, harness::uniform_record(1.0f));
    }

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            std::vector<char> out(8192);
            while (!done.load()) {
                { std::lock_guard<std::mutex> let_rounds_in(round_gate); }
                std::shared_lock<std::shared_mutex> lock(host_lock);
                int written = 0;
                if (r % 2 == 0) {
                    if (driver->DeviceIoControl(801, nullptr, 0, out.data(), 8192, written) != 0 ||
                        uniform_value(std::string(out.data(), static_cast<std::size_t>(written))) < 0) {
                        ++bad_texts;
                    }
                } else {
                    const Json::Value* address = nullptr;
                    if (driver->DeviceIoControl(803, nullptr, 0, &address, sizeof address, written) != 0 ||
                        address != &driver->snapshot) {
                        ++bad_addresses;
                    }
                }
                ++requests;
            }
        });
    }
    for (int round = 2; round <= kRounds; ++round) {
        std::unique_lock<std::mutex> gate(round_gate);
        std::unique_lock<std::shared_mutex> lock(host_lock);
        harness::complete_round(*driver, harness::uniform_record(static_cast<float>(round)));
        // Every round in a new second, so that each one forces a rebuild.
        driver->update_time = start + boost::posix_time::seconds(round);
        lock.unlock();
        gate.unlock();
        std::this_thread::yield();
    }
    // Let the readers see the last round, then compare what they get.
    std::vector<std::string> last_texts(kReaders);
    std::vector<std::thread> finals;
    for (int r = 0; r < kReaders; ++r) {
        finals.emplace_back([&, r] {
            std::shared_lock<std::shared_mutex> lock(host_lock);
            std::vector<char> out(8192);
            int written = 0;
            driver->DeviceIoControl(801, nullptr, 0, out.data(), 8192, written);
            last_texts[static_cast<std::size_t>(r)].assign(out.data(), static_cast<std::size_t>(written));
        });
    }
    for (auto& t : finals) t.join();
    done = true;
    for (auto& t : readers) t.join();

    EXPECT_EQ(bad_texts.load(), 0);
    EXPECT_EQ(bad_addresses.load(), 0);
    EXPECT_GT(requests.load(), 0);
    EXPECT_EQ(std::set<std::string>(last_texts.begin(), last_texts.end()).size(), 1u);
    EXPECT_EQ(uniform_value(last_texts[0]), static_cast<double>(kRounds));
}
