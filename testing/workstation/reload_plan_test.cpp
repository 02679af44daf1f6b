// What a reload starts, stops and keeps, for pairs of site files.
#include <fstream>

#include <gtest/gtest.h>

#include "reload_plan.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

using Names = std::vector<std::string>;
using PerLine = std::map<std::string, Names>;

std::string line(const std::string& name, const std::string& device, const std::string& more = "") {
    return "[[line]]\nname = \"" + name + "\"\ndevice = \"" + device + "\"\n" + more;
}
// Each meter with a data id of its own, wherever it stands in the file.
std::string meter(const std::string& name, const std::string& on, int slave, const std::string& more = "") {
    const int data_id = (name[0] - 'a') * 10 + (name[1] - '0');
    return "[[meter]]\nname = \"" + name + "\"\nline = \"" + on + "\"\nslave = " + std::to_string(slave) +
           "\ndata_id = " + std::to_string(data_id) + "\n" + more;
}

}  // namespace

TEST(ReloadPlan, StartsStopsAndKeepsWhatTheFilesDifferIn) {
    const testing_support::TempFolder folder("reload-plan");
    const auto read = [&](const std::string& text) {
        std::ofstream(folder.path() + "/site.toml") << text;
        return read_site_config(folder.path() + "/site.toml");
    };
    const std::string base = line("a", "/dev/ttyA") + line("b", "/dev/ttyB") + meter("a1", "a", 1) +
                             meter("a2", "a", 2) + meter("b1", "b", 1);
    const struct {
        const char* change;
        std::string next;
        Names running_lines;
        Names lines_stopped, lines_started;
        PerLine meters_stopped, meters_started;
    } cases[] = {
        {"nothing", base, {"a", "b"}, {}, {}, {}, {}},
        {"a circuit renamed",
         line("a", "/dev/ttyA") + line("b", "/dev/ttyB") + meter("a1", "a", 1, "circuits = [\"Oven\"]\n") +
             meter("a2", "a", 2) + meter("b1", "b", 1),
         {"a", "b"}, {}, {}, {}, {}},
        {"a meter's interval",
         line("a", "/dev/ttyA") + line("b", "/dev/ttyB") + meter("a1", "a", 1, "interval = 5\n") + meter("a2", "a", 2) +
             meter("b1", "b", 1),
         {"a", "b"}, {}, {}, {{"a", {"a1"}}}, {{"a", {"a1"}}}},
        {"a meter added and one removed",
         line("a", "/dev/ttyA") + line("b", "/dev/ttyB") + meter("a1", "a", 1) + meter("b1", "b", 1) +
             meter("b2", "b", 2),
         {"a", "b"}, {}, {}, {{"a", {"a2"}}}, {{"b", {"b2"}}}},
        {"a meter moved to another line",
         line("a", "/dev/ttyA") + line("b", "/dev/ttyB") + meter("a1", "a", 1) + meter("a2", "b", 2) +
             meter("b1", "b", 1),
         {"a", "b"}, {}, {}, {{"a", {"a2"}}}, {{"b", {"a2"}}}},
        {"a line's settings", line("a", "/dev/ttyA", "baud = 19200\n") + line("b", "/dev/ttyB") + meter("a1", "a", 1) +
                                  meter("a2", "a", 2) + meter("b1", "b", 1),
         {"a", "b"}, {"a"}, {"a"}, {}, {}},
        {"a line removed with its meter, one added",
         line("a", "/dev/ttyA") + line("c", "/dev/ttyC") + meter("a1", "a", 1) + meter("a2", "a", 2) +
             meter("c1", "c", 1),
         {"a", "b"}, {"b"}, {"c"}, {}, {}},
        {"a line that could not be opened is tried again", base, {"a"}, {}, {"b"}, {}, {}},
    };
    const SiteConfig running = read(base);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        const ReloadPlan plan = plan_reload(running, c.running_lines, read(c.next));
        EXPECT_EQ(plan.lines_stopped, c.lines_stopped);
        EXPECT_EQ(plan.lines_started, c.lines_started);
        EXPECT_EQ(plan.meters_stopped, c.meters_stopped);
        EXPECT_EQ(plan.meters_started, c.meters_started);
    }
}
