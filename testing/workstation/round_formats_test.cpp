// How pondrel-host shows a round: the snapshot text byte for byte (alone or
// naming its meter), the table and the line protocol from the record itself.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "pondrel_data.h"
#include "round_formats.h"

using namespace pondrel;

namespace {

struct Round {
    Round() {
        setenv("TZ", "CST-8", 1);
        tzset();
        meter = {"hall, east=2", "bus", 7, 42, "hall, east=2"};
        Pondrel_Data_t record{};
        record.data_id = 42;
        record.voltage = 230.5f;
        for (int n = 0; n < kPondrelCircuits; ++n) {
            record.current[n] = 0.5f * static_cast<float>(n + 1);
            record.power[n] = 100.25f * static_cast<float>(n + 1);
            record.energy[n] = 1000.0f + static_cast<float>(n);
        }
        record.power[17] = std::numeric_limits<float>::quiet_NaN();
        round.meter = &meter;
        round.type_code = 5156;
        round.saved_at = boost::posix_time::time_from_string("2026-12-10 20:00:05");
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
        round.record.assign(bytes, bytes + sizeof record);
        round.snapshot = "{\"\xE7\x94\xB5\xE5\x8E\x8B\":1.5}\n";
    }
    MeterIdentity meter;
    CompletedRound round;
};

}  // namespace

TEST(RoundFormats, JsonIsTheSnapshotTextAloneOrInAnObjectNamingItsMeter) {
    const Round r;
    EXPECT_EQ(json_line(r.round, false), r.round.snapshot);
    EXPECT_EQ(json_line(r.round, true),
              "{\"meter\":\"hall, east=2\",\"data_id\":42,\"snapshot\":{\"\xE7\x94\xB5\xE5\x8E\x8B\":1.5}}\n");
}

TEST(RoundFormats, InfluxLineCarriesTheRecordsValuesAndTheRoundsInstant) {
    const Round r;
    const std::string line = influx_line(r.round);
    // 2026-12-10T20:00:05+08:00 is 12:00:05Z.
    EXPECT_EQ(line.rfind("pondrel,meter=hall\\,\\ east\\=2,data_id=42 voltage_V=230.5,current1_A=0.5,", 0), 0u)
        << line;
    EXPECT_NE(line.find(",power17_W=1704.25,energy1_kWh=1000,"), std::string::npos) << line;  // power18 is NaN
    EXPECT_EQ(line.find("power18_W"), std::string::npos);
    EXPECT_NE(line.find(",energy18_kWh=1017 1796904005000000000\n"), std::string::npos) << line;
}

TEST(RoundFormats, TheTableShowsTheRecordInUnitsAndNamesTheMeter) {
    const Round r;
    const std::string block = table_block(r.round, true);
    EXPECT_EQ(block.rfind("meter hall, east=2 (line bus, slave 7, data id 42)\n2026-12-10 20:00:05\nvoltage 230.50 V\n"
                          "circuit   current A     power W  energy kWh\n      1       0.500     100.250    1000.000\n",
                          0),
              0u)
        << block;
    EXPECT_NE(block.find("\n     18       9.000         nan    1017.000\n"), std::string::npos) << block;
    // The totals: a power that is not a number makes its sum one too.
    EXPECT_NE(block.find("\n  total                     nan   18153.000\n"), std::string::npos) << block;
    // Any float keeps its column.
    Round huge;
    Pondrel_Data_t data{};
    std::memcpy(&data, huge.round.record.data(), sizeof data);
    data.current[0] = 3.4e38f;
    std::memcpy(huge.round.record.data(), &data, sizeof data);
    const std::string wide = table_block(huge.round, false);
    EXPECT_NE(wide.find("\n      1     3.4e+38     100.250    1000.000\n"), std::string::npos) << wide;
    EXPECT_EQ(table_block(r.round, false).rfind("2026-12-10 20:00:05\nvoltage", 0), 0u);
}
