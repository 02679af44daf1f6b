// pondrel-meter-sim's --slave: a list of addresses, each once, each 1 to 247.
#include <stdexcept>

#include <gtest/gtest.h>

#include "meter_server.h"

using namespace pondrel;

TEST(SlaveList, ReadsAddressesInOrderAndRefusesBadOnes) {
    EXPECT_EQ(parse_slave_list("7"), std::vector<int>{7});
    EXPECT_EQ(parse_slave_list("3,1,247"), (std::vector<int>{3, 1, 247}));
    const struct {
        const char* text;
        const char* says;
    } bad[] = {
        {"", "''"}, {"0", "'0'"}, {"248", "'248'"}, {"1,,2", "''"}, {"1,x", "'x'"}, {"2,2", "2 given twice"},
        {"1-4", "'1-4'"},
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
