// pondrel-host polling a site from its configuration file, end to end against
// simulated meters: many meters on one line, a dead one among them, a file
// with errors, --check, and SIGHUP with a changed, an invalid and an
// unchanged file.
#include <signal.h>

#include <map>
#include <thread>

#include "host_program_fixture.h"

using namespace host_programs;

namespace {

class SiteTest : public HostProgramTest {
protected:
    // A configuration of one line, `path`, and a meter "mN" for each slave N.
    std::string site(const std::string& path, const std::vector<int>& slaves, const std::string& meter_keys = "",
                     const std::string& line_keys = "") {
        std::string text = "[history]\nfile = \"" + history_ + "\"\n\n[[line]]\nname = \"bus\"\ndevice = \"" + path +
                           "\"\n" + line_keys + "\n";
        for (int slave : slaves) {
            const std::string n = std::to_string(slave);
            text += "[[meter]]\nname = \"m" + n + "\"\nline = \"bus\"\nslave = " + n + "\ndata_id = " + n + "\n" +
                    meter_keys + "\n";
        }
        return file("site.toml", text);
    }
};

// The meters named in the JSON lines, in order.
std::vector<std::string> meters_of(const std::vector<Json::Value>& lines) {
    std::vector<std::string> names;
    for (const Json::Value& line : lines) names.push_back(line["meter"].asString());
    return names;
}

}  // namespace

TEST_F(SiteTest, EightMetersOnOneLineEachKeepTheirOwnWholeRounds) {
    Meter meters({"--slave", "1-8"});
    const std::string config = site(meters.path, {1, 2, 3, 4, 5, 6, 7, 8}, "interval = 0\n");
    const auto run = run_program({kHost, "--config", config, "--rounds", "3"}, 60s);
    ASSERT_EQ(run.code, 0) << run.errors;
    const auto lines = json_lines(run.lines);
    ASSERT_EQ(lines.size(), 24u);
    std::map<std::string, int> per_meter;
    for (const Json::Value& line : lines) {
        ++per_meter[line["meter"].asString()];
        EXPECT_EQ("m" + std::to_string(line["data_id"].asUInt()), line["meter"].asString());
        EXPECT_TRUE(line["snapshot"].isObject());
    }
    EXPECT_EQ(per_meter.size(), 8u);
    for (const auto& [name, count] : per_meter) EXPECT_EQ(count, 3) << name;
    // Each meter's rows under its own data id: its own rounds 1 to 3, in
    // order, each record one whole round.
    std::map<std::uint32_t, std::vector<Row>> rows;
    for (const Row& row : history_rows(history_)) rows[row.data_id].push_back(row);
    ASSERT_EQ(rows.size(), 8u);
    for (const auto& [id, of_meter] : rows) {
        SCOPED_TRACE(id);
        ASSERT_EQ(of_meter.size(), 3u);
        for (std::uint64_t round = 1; round <= 3; ++round) {
            EXPECT_TRUE(holds_round(record_of(of_meter[round - 1]), round, 1.0, static_cast<int>(id)));
            EXPECT_EQ(record_of(of_meter[round - 1]).data_id, id);
        }
    }
}

TEST_F(SiteTest, ASilentMeterIsReportedOnceHoldsNoOtherAndAnswersAgainWithinRetryMax) {
    const std::string faults = file("faults", "3=silent\n");
    Meter meters({"--slave", "1-4", "--fault-file", faults});
    const std::string config =
        site(meters.path, {1, 2, 3, 4}, "interval = 0.2\nretry_max = 1\n", "timeout_ms = 300\n");
    ChildProcess host({kHost, "--config", config});
    // The live meters go on beside the silent one (their rates beside it are
    // measured in the site benchmark); the silent one is reported once.
    std::map<std::string, int> per_meter;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((per_meter["m1"] < 11 || per_meter["m2"] < 11 || per_meter["m4"] < 11) &&
           std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : meters_of(snapshots_from(host, 1, 1s))) ++per_meter[name];
    }
    EXPECT_EQ(per_meter.count("m3"), 0u);
    for (const char* name : {"m1", "m2", "m4"}) EXPECT_GE(per_meter[name], 11) << name;
    EXPECT_EQ(count_of(host.error_text(), "meter m3 (line bus, slave 3) is failing: no answer from slave 3"), 1u)
        << host.error_text();

    file("faults", "");
    bool answered = false;
    const auto back = std::chrono::steady_clock::now();
    while (!answered && std::chrono::steady_clock::now() - back < 20s) {
        for (const Json::Value& line : snapshots_from(host, 1, 200ms)) answered = line["meter"] == "m3";
    }
    EXPECT_TRUE(answered);
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
    EXPECT_EQ(count_of(host.error_text(), "meter m3 (line bus, slave 3) answers again"), 1u) << host.error_text();
}

TEST_F(SiteTest, AFileWithErrorsStartsNothingAndCheckPrintsTheResolvedFile) {
    Meter meters({"--slave", "1"});
    const std::string bad = file("bad.toml", "[[line]]\nname = \"bus\"\n\n[[meter]]\nname = \"m\"\nline = \"bus2\"\n"
                                             "slave = 999\n[history]\nfile = \"" + history_ + "\"\n");
    for (const auto& extra : {std::vector<std::string>{}, std::vector<std::string>{"--check"}}) {
        auto args = std::vector<std::string>{kHost, "--config", bad};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto run = run_program(args, 30s);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.errors.find(bad + ":1: line 'bus' has none of"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(bad + ":6: meter 'm' names line 'bus2'"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(bad + ":7: 'slave' must be from 1 to 247, not 999"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find("pondrel-host: 3 errors in " + bad), std::string::npos) << run.errors;
        EXPECT_TRUE(run.lines.empty());
        EXPECT_FALSE(std::filesystem::exists(history_));
    }

    const std::string good = site(meters.path, {1});
    const auto check = run_program({kHost, "--config", good, "--check"}, 30s);
    EXPECT_EQ(check.code, 0) << check.errors;
    std::string printed;
    for (const std::string& line : check.lines) printed += line + "\n";
    EXPECT_NE(printed.find("retry_max = 30.0"), std::string::npos) << printed;
    EXPECT_NE(printed.find("timeout_ms = 500"), std::string::npos) << printed;
    EXPECT_FALSE(std::filesystem::exists(history_));
    // What it printed is a configuration of its own.
    const std::string again = file("again.toml", printed);
    EXPECT_EQ(run_program({kHost, "--config", again, "--check"}, 30s).lines, check.lines);

    for (const char* option : {"--device", "--slave", "--setting", "--interval"}) {
        const auto run = run_program({kHost, "--config", good, option, "1"}, 30s);
        EXPECT_EQ(run.code, 2) << option;
        EXPECT_NE(run.errors.find(std::string(option) + " and --config exclude each other"), std::string::npos);
    }
}

TEST_F(SiteTest, SighupAppliesAChangedFileKeepsTheRunningOneOnErrorsAndLeavesUnchangedMetersAlone) {
    Meter meters({"--slave", "1-3"});
    site(meters.path, {1, 2}, "interval = 0.1\n");
    const std::string config = dir_ + "/site.toml";
    ChildProcess host({kHost, "--config", config});
    ASSERT_EQ(snapshots_from(host, 6, 60s).size(), 6u) << host.error_text();

    site(meters.path, {1, 3}, "interval = 0.1\n");  // m2 goes, m3 comes, m1 stays
    host.send_signal(SIGHUP);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (count_of(host.error_text(), "reloaded") == 0 && std::chrono::steady_clock::now() < deadline) {
        snapshots_from(host, 1, 100ms);
    }
    EXPECT_NE(host.error_text().find("reloaded " + config + ": 1 meters stopped, 1 started, 2 polled"),
              std::string::npos)
        << host.error_text();
    std::map<std::string, int> after;
    for (const std::string& name : meters_of(snapshots_from(host, 20, 60s))) ++after[name];
    EXPECT_EQ(after.count("m2"), 0u);
    EXPECT_GE(after["m1"], 5);
    EXPECT_GE(after["m3"], 5);

    file("site.toml", "[[line]\n");  // broken: the running configuration stays
    host.send_signal(SIGHUP);
    EXPECT_TRUE(host.wait_for_error("kept the running configuration: " + config + " has errors", 60s))
        << host.error_text();
    std::map<std::string, int> kept;
    for (const std::string& name : meters_of(snapshots_from(host, 20, 60s))) ++kept[name];
    EXPECT_GE(kept["m1"], 5);
    EXPECT_GE(kept["m3"], 5);

    site(meters.path, {1, 3}, "interval = 0.1\n");  // as running
    host.send_signal(SIGHUP);
    EXPECT_TRUE(host.wait_for_error("0 meters stopped, 0 started, 2 polled", 60s)) << host.error_text();
    snapshots_from(host, 10, 60s);
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(10s), 0) << host.error_text();
    // m1 went on through every reload: its rows are its rounds in order, with no round missing.
    std::vector<Row> of_m1;
    for (const Row& row : history_rows(history_)) {
        if (row.data_id == 1) of_m1.push_back(row);
    }
    ASSERT_GE(of_m1.size(), 20u);
    for (std::size_t i = 0; i < of_m1.size(); ++i) EXPECT_TRUE(holds_round(record_of(of_m1[i]), i + 1)) << i;
}

TEST_F(SiteTest, AGatewayThatRepeatsEveryAnswerMixesNoRound) {
    // RTU frames over TCP at the pace of a 19200 baud line, every answer sent
    // again after a delay from at once to most of the line's timeout: a late
    // copy comes in the middle of a later request, or fits its slave,
    // function and length. Each stored row is one whole round of its own
    // meter, and rounds go on.
    const struct {
        int meters;
        int delay_ms;
    } cases[] = {{2, 0}, {2, 90}, {2, 170}, {8, 90}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.meters) + " meters, copy after " + std::to_string(c.delay_ms) + " ms");
        std::filesystem::remove(history_);
        Meter gateway({"--rtu-over-tcp-listen", "0", "--slave", "1-" + std::to_string(c.meters), "--fault", "double",
                       "--double-ms", std::to_string(c.delay_ms), "--line-baud", "19200"});
        std::string text = "[history]\nfile = \"" + history_ + "\"\n[[line]]\nname = \"gateway\"\nrtu_over_tcp = \"" +
                           gateway.path + "\"\ntimeout_ms = 200\n";
        for (int slave = 1; slave <= c.meters; ++slave) {
            const std::string n = std::to_string(slave);
            text += "[[meter]]\nname = \"m" + n + "\"\nline = \"gateway\"\nslave = " + n + "\ndata_id = " + n +
                    "\ninterval = 0\n";
        }
        const auto run = run_program({kHost, "--config", file("site.toml", text), "--rounds", "2"}, 120s);
        ASSERT_EQ(run.code, 0) << run.errors;
        std::map<std::uint32_t, std::vector<Row>> rows;
        for (const Row& row : history_rows(history_)) rows[row.data_id].push_back(row);
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(c.meters));
        for (const auto& [id, of_meter] : rows) {
            EXPECT_EQ(of_meter.size(), 2u) << id;
            // A request asked again starts the meter's next round: any of its first few.
            EXPECT_TRUE(every_record_is_one_round(of_meter, 50, static_cast<int>(id))) << id;
        }
    }
}

TEST_F(SiteTest, OnceTriesEveryMeterAndScanSearchesEveryLine) {
    Meter meters({"--slave", "1-3", "--fault", "2=silent"});
    const std::string config = site(meters.path, {1, 2, 3}, "", "timeout_ms = 200\n");
    const auto once = run_program({kHost, "--config", config, "--once"}, 30s);
    EXPECT_EQ(once.code, 8) << once.errors;
    EXPECT_EQ(meters_of(json_lines(once.lines)).size(), 2u);
    EXPECT_NE(once.errors.find("pondrel-host: meter m1: ok"), std::string::npos) << once.errors;
    EXPECT_NE(once.errors.find("pondrel-host: meter m2: the round failed: no answer from slave 2"), std::string::npos)
        << once.errors;
    EXPECT_NE(once.errors.find("pondrel-host: 1 of 3 meters did not answer as they should"), std::string::npos);

    const auto scan = run_program({kHost, "--config", config, "--scan", "1-4"}, 30s);
    EXPECT_EQ(scan.code, 0) << scan.errors;
    ASSERT_EQ(scan.lines.size(), 2u);
    EXPECT_EQ(scan.lines[0].rfind("line bus: slave 1: word order ABCD, voltage ", 0), 0u);
    EXPECT_EQ(scan.lines[1].rfind("line bus: slave 3: word order ABCD, voltage ", 0), 0u);

    const auto influx = run_program({kHost, "--config", config, "--rounds", "1", "--max-failures", "1",
                                     "--format", "influx"}, 30s);
    EXPECT_EQ(influx.code, 8) << influx.errors;
    ASSERT_EQ(influx.lines.size(), 2u);
    for (const std::string& line : influx.lines) EXPECT_EQ(line.rfind("pondrel,meter=m", 0), 0u) << line;
}

TEST_F(SiteTest, OnceGivesUpOnALineThatCannotBeOpenedAndStillTriesTheOthers) {
    Meter meters({"--slave", "1"});
    const std::string gone = dir_ + "/no-such-adapter";
    const std::string config =
        site(meters.path, {1}, "", "timeout_ms = 300\n\n[[line]]\nname = \"cellar\"\ndevice = \"" + gone +
                                       "\"\ntimeout_ms = 300\n\n[[meter]]\nname = \"c1\"\nline = \"cellar\"\nslave = 1\n"
                                       "data_id = 11\n");
    const auto once = run_program({kHost, "--config", config, "--once"}, 60s);
    EXPECT_EQ(once.code, 5) << once.errors;
    EXPECT_EQ(meters_of(json_lines(once.lines)), std::vector<std::string>{"m1"});
    EXPECT_NE(once.errors.find("meter c1: line cellar cannot be opened: "), std::string::npos) << once.errors;
    EXPECT_NE(once.errors.find(gone), std::string::npos) << once.errors;
}
