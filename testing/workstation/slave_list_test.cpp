// pondrel-meter-sim's --slave (addresses and ranges, each once, each 1 to
// 247) and --fault (for every slave, or SLAVE=KIND for one).
#include <stdexcept>

#include <gtest/gtest.h>

#include "meter_server.h"

using namespace pondrel;

TEST(SlaveList, ReadsAddressesInOrderAndRefusesBadOnes) {
    EXPECT_EQ(parse_slave_list("7"), std::vector<int>{7});
    EXPECT_EQ(parse_slave_list("3,1,247"), (std::vector<int>{3, 1, 247}));
    EXPECT_EQ(parse_slave_list("1-4,7"), (std::vector<int>{1, 2, 3, 4, 7}));
    EXPECT_EQ(parse_slave_list("5-5"), std::vector<int>{5});
    const struct {
        const char* text;
        const char* says;
    } bad[] = {
        {"", "''"}, {"0", "'0'"}, {"248", "'248'"}, {"1,,2", "''"}, {"1,x", "'x'"}, {"2,2", "2 given twice"},
        {"4-1", "'4-1'"}, {"1-", "'1-'"}, {"0-3", "'0-3'"}, {"1-3,2", "2 given twice"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.text);
        try {
            parse_slave_list(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(FaultPlan, ASlavesOwnFaultWinsOverEverySlaves) {
    FaultPlan plan;
    for (const char* given : {"crc", "3=silent", "5=none"}) EXPECT_TRUE(add_fault(given, plan)) << given;
    EXPECT_EQ(plan.of(1), MeterFault::BadCrc);
    EXPECT_EQ(plan.of(3), MeterFault::Silent);
    EXPECT_EQ(plan.of(5), MeterFault::None);
    for (const char* bad : {"loud", "0=silent", "3=", "=silent", "x=crc", "248=crc"}) {
        EXPECT_FALSE(add_fault(bad, plan)) << bad;
    }
}
