// The exit codes stated in code are the ones the user's guide lists.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exit_codes.h"

using namespace pondrel;

TEST(ExitCodes, TheUsersGuideListsEveryCodeWithItsMeaning) {
    std::ifstream guide(PONDREL_USERS_GUIDE);
    ASSERT_TRUE(guide.good()) << PONDREL_USERS_GUIDE;
    // The guide's table: "| CODE | MEANING | ..." rows under "### Exit codes".
    std::string line;
    bool in_section = false;
    std::vector<std::pair<int, std::string>> rows;
    while (std::getline(guide, line)) {
        if (line.rfind("#", 0) == 0) in_section = line == "### Exit codes";
        if (!in_section || line.size() < 3 || line.compare(0, 2, "| ") != 0 || line[2] < '0' || line[2] > '9') continue;
        // "| 2 | bad option | ..."
        const std::size_t second = line.find(" | ", 2);
        const std::size_t third = line.find(" |", second + 3);
        if (second == std::string::npos || third == std::string::npos) continue;
        rows.emplace_back(std::stoi(line.substr(2, second - 2)), line.substr(second + 3, third - second - 3));
    }
    ASSERT_EQ(rows.size(), std::size(kExitCodes));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].first, kExitCodes[i].code);
        EXPECT_EQ(rows[i].second, kExitCodes[i].meaning);
    }
}
