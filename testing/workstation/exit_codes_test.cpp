// The exit codes stated in code are the ones the user's guide lists.
#include <fstream>
#include <regex>
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
    const std::regex row(R"(^\| (\d+) \| ([^|]+?) \|)");
    while (std::getline(guide, line)) {
        if (line.rfind("#", 0) == 0) in_section = line == "### Exit codes";
        std::smatch match;
        if (in_section && std::regex_search(line, match, row)) rows.emplace_back(std::stoi(match[1]), match[2]);
    }
    ASSERT_EQ(rows.size(), std::size(kExitCodes));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].first, kExitCodes[i].code);
        EXPECT_EQ(rows[i].second, kExitCodes[i].meaning);
    }
}
