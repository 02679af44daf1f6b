// The workstation's host services drive a device from the plug-in: its read
// requests reach its own line, its stored records reach its own store with
// the published type code and the round's time, a restored image is not
// stored again, and a round through them allocates nothing after the first.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "alloc_probe.h"
#include "driver_fixture.h"
#include "driver_harness.h"
#include "poller.h"
#include "stdout_capture.h"
#include "host_services_wrapper.h"
#include "workstation_services.h"

using namespace pondrel;

namespace {

// A meter that answers every read from a record's measurement fields, as
// the record's registers 100 to 209 in ABCD order.
class RecordLine : public RegisterLine {
public:
    explicit RecordLine(const Pondrel_Data_t& values) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&values) + offsetof(Pondrel_Data_t, voltage);
        for (std::size_t i = 0; i < kFloats; ++i) {
            float value;
            std::memcpy(&value, bytes + i * sizeof value, sizeof value);
            float_to_registers(value, WordOrder::ABCD, &registers_[i * 2]);
        }
    }
    bool read_registers(int start, int count, std::uint16_t* out, std::string&) override {
        ++reads;
        std::memcpy(out, &registers_[start - 100], static_cast<std::size_t>(count) * sizeof *out);
        return true;
    }
    int reads = 0;

private:
    static constexpr std::size_t kFloats = 1 + 3 * kPondrelCircuits;
    std::uint16_t registers_[kFloats * 2] = {};
};

// Keeps the records it is given, in memory set aside before the rounds.
class MemoryStore : public RecordStore {
public:
    MemoryStore() { records.reserve(64); }
    void append(std::uint32_t data_id, int type_code, boost::posix_time::ptime saved_at,
                const unsigned char* record, unsigned int len) override {
        Stored stored{data_id, type_code, saved_at, {}};
        std::memcpy(stored.bytes, record, len < sizeof stored.bytes ? len : sizeof stored.bytes);
        records.push_back(stored);
    }
    struct Stored {
        std::uint32_t data_id;
        int type_code;
        boost::posix_time::ptime saved_at;
        unsigned char bytes[sizeof(Pondrel_Data_t)];
    };
    std::vector<Stored> records;
};

struct Station {
    Station(Pondrel& driver, const Pondrel_Data_t& values)
        : line(values), poller(driver, line, WordOrder::ABCD), services(poller, store),
          registration(&driver, services) {}
    RecordLine line;
    MemoryStore store;
    Poller poller;
    WorkstationServices services;
    ServicesRegistration registration;
};

class WorkstationServicesTest : public testing_support::DriverTest {};

}  // namespace

TEST_F(WorkstationServicesTest, EachDeviceReadsItsOwnLineAndStoresInItsOwnStore) {
    harness::DriverPtr second = harness::make_driver();
    driver->data_id = 7;
    second->data_id = 9;
    Station first_station(*driver, harness::uniform_record(230.0f));
    Station second_station(*second, harness::uniform_record(115.0f));
    testing_support::StdoutCapture quiet;

    ASSERT_TRUE(first_station.poller.poll_round().completed);
    ASSERT_TRUE(second_station.poller.poll_round().completed);
    ASSERT_TRUE(second_station.poller.poll_round().completed);

    EXPECT_EQ(first_station.line.reads, 4);
    EXPECT_EQ(second_station.line.reads, 8);
    ASSERT_EQ(first_station.store.records.size(), 1u);
    ASSERT_EQ(second_station.store.records.size(), 2u);
    const auto& stored = first_station.store.records[0];
    EXPECT_EQ(stored.data_id, 7u);
    EXPECT_EQ(stored.type_code, 5156);
    EXPECT_EQ(stored.saved_at, driver->update_time);
    EXPECT_EQ(std::memcmp(stored.bytes, driver->record_bytes(), sizeof stored.bytes), 0);
    EXPECT_FLOAT_EQ(driver->data.voltage, 230.0f);
    EXPECT_FLOAT_EQ(second->data.voltage, 115.0f);
    // Devices nobody registered still reach the default services.
    EXPECT_TRUE(host().calls_of("modbus_read_registers").empty());
    second.reset();
}

TEST_F(WorkstationServicesTest, ARestoredImageIsNotStoredAgain) {
    Station station(*driver, harness::uniform_record(230.0f));
    testing_support::StdoutCapture quiet;
    const Pondrel_Data_t image = harness::uniform_record(50.0f);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&image);

    EXPECT_EQ(station.services.restore(*driver, std::vector<unsigned char>(bytes, bytes + sizeof image)), 1);
    EXPECT_TRUE(station.store.records.empty());
    ASSERT_TRUE(station.poller.poll_round().completed);
    EXPECT_EQ(station.store.records.size(), 1u);
}

TEST_F(WorkstationServicesTest, RoundsAfterTheFirstAllocateNothing) {
    host().quiet = true;  // get_ttime, which belongs to no device, still reaches the recorder
    Station station(*driver, harness::uniform_record(230.0f));
    testing_support::StdoutCapture quiet;
    ASSERT_TRUE(station.poller.poll_round().completed);

    const std::size_t before = alloc_probe::allocations();
    for (int round = 0; round < 20; ++round) station.poller.poll_round();
    const std::size_t during = alloc_probe::allocations() - before;
    quiet.text();
    EXPECT_EQ(during, 0u);
    EXPECT_EQ(station.store.records.size(), 21u);
}

TEST_F(WorkstationServicesTest, AWrapperChangesOneCallAndPassesTheRestOn) {
    // Counts the records the device stores, and stores them as the wrapped services do.
    class CountingStores : public HostServicesWrapper {
    public:
        using HostServicesWrapper::HostServicesWrapper;
        int save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len) override {
            ++stored;
            return HostServicesWrapper::save_device_history(device, record, len);
        }
        int stored = 0;
    };
    driver->data_id = 4;
    RecordLine line(harness::uniform_record(230.0f));
    MemoryStore store;
    Poller poller(*driver, line, WordOrder::ABCD);
    WorkstationServices services(poller, store);
    CountingStores counting(services);
    const ServicesRegistration registration(driver.get(), counting);
    testing_support::StdoutCapture quiet;

    ASSERT_TRUE(poller.poll_round().completed);
    ASSERT_TRUE(poller.poll_round().completed);
    EXPECT_EQ(counting.stored, 2);
    EXPECT_EQ(line.reads, 8);  // read requests passed on to the poller's line
    ASSERT_EQ(store.records.size(), 2u);
    EXPECT_EQ(store.records[1].data_id, 4u);
    EXPECT_EQ(store.records[1].type_code, 5156);  // send_sp passed on: the published type code
}
