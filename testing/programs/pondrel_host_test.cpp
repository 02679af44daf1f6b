// pondrel-host end to end over pseudo-terminals: polling the built-in and
// simulated meters, storing and restoring rounds, stopping, lost devices and
// locked histories, bad input, and its standard output.
#include <memory>
#include <sstream>
#include <thread>

#include <modbus/modbus.h>

#include "host_program_fixture.h"

using namespace pondrel;

using namespace host_programs;


TEST_F(HostProgramTest, PollsTheBuiltInMeterStoresEveryRoundAndRestoresAfterARestart) {
    const auto run = run_program(host_args({"--rounds", "3", "--interval", "0.3"}), 60s);
    ASSERT_EQ(run.code, 0) << run.errors;
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].data_id, 1u);
        EXPECT_EQ(rows[i].type_code, 5156);
        ASSERT_EQ(rows[i].record.size(), 231u);
        const Pondrel_Data_t record = record_of(rows[i]);
        EXPECT_EQ(+record.data_id, 1u);
        EXPECT_TRUE(holds_round(record, i + 1, 0.3));
        // The record's time is the round's local time, as stored beside it.
        EXPECT_EQ(rows[i].saved_at.substr(0, 4), std::to_string(+record.record_time.year));
        EXPECT_EQ(std::stoi(rows[i].saved_at.substr(17, 2)), +record.record_time.second);
    }
    // One JSON object a line per round; each shows a round the meter served
    // (rounds within one second share a snapshot) and that round's time.
    const auto snapshots = json_lines(run.lines);
    ASSERT_EQ(snapshots.size(), 3u);
    for (const auto& snapshot : snapshots) {
        EXPECT_EQ(snapshot.size(), 56u);
        bool matched = false;
        for (std::uint64_t round = 1; round <= 3 && !matched; ++round) {
            matched = shows_round(snapshot, round, 0.3) &&
                      snapshot["\xE6\x9B\xB4\xE6\x96\xB0\xE6\x97\xB6\xE9\x97\xB4"].asString() ==
                          time_text(record_of(rows[round - 1]).record_time);
        }
        EXPECT_TRUE(matched) << snapshot.toStyledString();
    }
    // At info a state is said when it changes, not every round.
    EXPECT_NE(run.errors.find("round 1 complete, data fresh"), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find("round 3 complete"), std::string::npos) << run.errors;

    // A restart takes the newest record back before it polls, without storing it again.
    const auto again = run_program(host_args({"--rounds", "1"}), 60s);
    ASSERT_EQ(again.code, 0) << again.errors;
    EXPECT_NE(again.errors.find("restored the newest record of data id 1"), std::string::npos) << again.errors;
    EXPECT_EQ(history_rows(history_).size(), 4u);
}

TEST_F(HostProgramTest, EveryWordOrderRoundTrips) {
    for (const char* order : {"ABCD", "CDAB", "BADC", "DCBA"}) {
        SCOPED_TRACE(order);
        std::filesystem::remove(history_);
        const auto run = run_program(host_args({"--rounds", "1", "--word-order", order}), 30s);
        ASSERT_EQ(run.code, 0) << run.errors;
        const auto rows = history_rows(history_);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_TRUE(holds_round(record_of(rows[0]), 1));
    }
}

TEST_F(HostProgramTest, StopsCleanlyOnSigterm) {
    ChildProcess host(host_args({"--interval", "0.2"}));
    bool got_round = false;
    while (auto line = host.read_line(20s)) {
        if (!line->empty() && (*line)[0] == '{') {
            got_round = true;
            break;
        }
    }
    ASSERT_TRUE(got_round) << host.error_text();
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(10s), 0) << host.error_text();
    EXPECT_GE(history_rows(history_).size(), 1u);
}

TEST_F(HostProgramTest, AnIndependentMasterReadsTheSimulatedMeter) {
    ChildProcess sim({kSim, "--link", dir_ + "/meter"});
    const auto path = sim.read_line(10s);
    ASSERT_TRUE(path.has_value()) << sim.error_text();
    EXPECT_EQ(std::filesystem::read_symlink(dir_ + "/meter").string(), *path);
    // Voltage and the 18 currents as big-endian (ABCD) floats from register 100.
    const auto read = run_program({"mbpoll", "-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-t",
                                   "4:float", "-B", "-0", "-r", "100", "-c", "19", "-1", "-o", "2",
                                   dir_ + "/meter"},
                                  30s);
    ASSERT_EQ(read.code, 0) << read.errors;
    const MeterReadings expected = readings_at(1);
    int values = 0;
    for (const std::string& line : read.lines) {
        int address = 0;
        double value = 0;
        if (std::sscanf(line.c_str(), "[%d]: %lf", &address, &value) != 2) continue;
        const int index = (address - 100) / 2;
        ASSERT_GE(index, 0);
        ASSERT_LE(index, 18);
        const double want = index == 0 ? expected.voltage : expected.current[index - 1];
        EXPECT_NEAR(value, want, 1e-4 * std::abs(want) + 1e-6) << line;
        ++values;
    }
    EXPECT_EQ(values, 19);
}

TEST_F(HostProgramTest, AMeterThatStopsAnsweringIsReportedAndRecoveredFrom) {
    for (const char* fault : {"silent", "exception", "crc", "slow"}) {
        SCOPED_TRACE(fault);
        std::filesystem::remove(history_);
        const std::string fault_file = file("fault", fault);
        ChildProcess sim({kSim, "--fault-file", fault_file, "--slow-ms", "600"});
        const auto path = sim.read_line(10s);
        ASSERT_TRUE(path.has_value());

        ChildProcess host(host_args({"--device", *path, "--timeout", "200", "--interval", "0.1",
                                     "--rounds", "2", "--verbose"}));
        // At debug the plug-in's console lines go to standard error, beside the status lines.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (count_of(host.error_text(), "\nSPModbus get error\n") < 2) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << host.error_text();
            const auto line = host.read_line(100ms);
            ASSERT_FALSE(line.has_value()) << "a round completed while the meter failed: " << *line;
        }
        EXPECT_TRUE(history_rows(history_).empty());
        file("fault", "none");
        ASSERT_EQ(host.wait(30s), 0) << host.error_text();
        EXPECT_EQ(json_lines(host.remaining_lines()).size(), 2u);
        EXPECT_EQ(history_rows(history_).size(), 2u);
        const std::string report = host.error_text();
        EXPECT_NE(report.find("failed"), std::string::npos) << report;
        EXPECT_NE(report.find("data not ready"), std::string::npos) << report;
        EXPECT_NE(report.find("complete, data fresh"), std::string::npos) << report;
    }
}

TEST_F(HostProgramTest, BadInputFailsWithOneLineAndLeavesEveryHistoryAlone) {
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    const std::string before = bytes_of(history_);
    ASSERT_FALSE(before.empty());

    // Histories that are not sound: a table without a column, damaged pages.
    const std::string no_column = dir_ + "/no-column.db";
    execute_sql(no_column, "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER, record BLOB)");
    const std::string damaged = dir_ + "/damaged.db";
    std::filesystem::copy_file(history_, damaged);
    execute_sql(damaged, "PRAGMA journal_mode=DELETE");
    {
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        for (std::streamoff at = 4096; at < 2 * 4096; at += 7) {
            file.seekp(at);
            file.put('\x5a');
        }
    }
    const std::string fifo = dir_ + "/fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir_ + "/a-directory");

    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
        std::string kept = "";  // a file that must stay byte-identical
    };
    const std::string text_file = file("not-a-plugin.so", "plain text");
    std::vector<Case> cases = {
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"--baud", "fast"}, 2, "--baud"},
        {{"--rounds", "0"}, 2, "--rounds"},
        {{"--interval", "-1"}, 2, "--interval"},
        {{"--parity", "X"}, 2, "--parity"},
        {{"--word-order", "ABDC"}, 2, "--word-order"},
        {{"--slave", "300"}, 2, "--slave"},
        {{"--rounds"}, 2, "--rounds needs a value"},
        {{"extra"}, 2, "unexpected argument"},
        {{"--tcp", ""}, 2, "--tcp"},
        {{"--rtu-over-tcp", "gateway"}, 2, "(HOST:PORT)"},
        {{"--tcp", "gateway:70000"}, 2, "--tcp"},
        {{"--device", "/dev/null", "--tcp", "gateway"}, 2, "give one of --device, --tcp and --rtu-over-tcp"},
        {{"--scan", "10-1"}, 2, "--scan"},
        {{"--once", "--rounds", "2"}, 2, "exclude each other"},
        {{"--format", "xml"}, 2, "--format"},
        {{"--data-bits", "9"}, 2, "--data-bits"},
        {{"--stop-bits", "3"}, 2, "--stop-bits"},
        {{"--max-failures", "0"}, 2, "--max-failures"},
        {{"--keep-days", "0"}, 2, "--keep-days"},
        {{"--metrics", "9100"}, 2, "--metrics must be HOST:PORT"},
        {{"--log-level", "loud"}, 2, "--log-level"},
        {{"--quiet", "--verbose"}, 2, "exclude each other"},
        {{"--tcp", "127.0.0.1:1"}, 5, "cannot connect to gateway 127.0.0.1:1"},
        {{"--plugin", dir_ + "/missing.so"}, 3, "cannot load plug-in"},
        {{"--plugin", text_file}, 3, "cannot load plug-in"},
        {{"--plugin", PONDREL_NO_ENTRY_PLUGIN}, 3, "has no get_providers"},
        {{"--plugin", PONDREL_FOREIGN_PLUGIN}, 3, "no serial-port device provider"},
        {{"--plugin", PONDREL_CREATE_NULL_PLUGIN}, 3, "could not create a device: it made none"},
        {{"--plugin", PONDREL_CREATE_THROWS_PLUGIN}, 3, "could not create a device: the meter driver is not licensed"},
        {{"--setting", dir_ + "/missing.json"}, 4, "cannot read setting file"},
        {{"--setting", file("broken.json", "{\"data_id\": ")}, 4, "invalid setting file"},
        {{"--setting", file("array.json", "[1]")}, 4, "not a JSON object"},
        {{"--setting", file("id.json", "{\"data_id\": -1}")}, 4, "data_id"},
        {{"--setting", file("mode.json", "{\"appSetting\": {\"b_mode\": [1]}}")}, 4, "refused setting file"},
        {{"--setting", file("deep.json", std::string(1001, '[') + std::string(1001, ']'))}, 4, "invalid setting file"},
        {{"--setting", file("deeper.json", "{\"a\":" + std::string(100000, '['))}, 4, "invalid setting file"},
        {{"--setting", file("trailing.json", "{\"data_id\": 2} {}")}, 4, "Extra non-whitespace"},
        {{"--setting", file("large.json", "{}" + std::string((1 << 20) + 1, ' '))}, 4, "larger than 1 MiB"},
        {{"--setting", "/dev/zero"}, 4, "/dev/zero is not a regular file"},
        {{"--setting", fifo}, 4, "is not a regular file"},
        {{"--device", dir_ + "/no-such-tty"}, 5, "cannot open serial device"},
        {{"--device", text_file}, 5, "cannot open serial device"},
        {{"--device", dir_ + "/a-directory"}, 5, "cannot open serial device"},
        {{"--history", file("not-a-database.db", std::string(4096, 'x'))}, 6, "not-a-database.db",
         dir_ + "/not-a-database.db"},
        {{"--history", "/proc/no-such-folder/history.db"}, 6, "history"},
        {{"--history", no_column}, 6, "has no column type_code", no_column},
        {{"--history", damaged}, 6, "damaged.db", damaged},
    };
    // An ARM build of a library: the wrong machine for this host.
    if (std::filesystem::exists("/usr/arm-linux-gnueabihf/lib/libm.so.6")) {
        cases.push_back({{"--plugin", "/usr/arm-linux-gnueabihf/lib/libm.so.6"}, 3, "wrong ELF class"});
    }
    // File modes bind everyone but root.
    if (geteuid() != 0) {
        const std::string read_only = dir_ + "/read-only.db";
        std::filesystem::copy_file(history_, read_only);
        std::filesystem::permissions(read_only, std::filesystem::perms::owner_read);
        cases.push_back({{"--history", read_only}, 6, "read-only.db", read_only});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const std::string kept_before = c.kept.empty() ? "" : bytes_of(c.kept);
        auto args = host_args({"--rounds", "1"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = run_program(args, 30s);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.errors.rfind("pondrel-host: ", 0), 0u) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_TRUE(run.lines.empty());
        EXPECT_EQ(bytes_of(history_), before);
        EXPECT_FALSE(std::filesystem::exists(history_ + "-wal") &&
                     std::filesystem::file_size(history_ + "-wal") > 0);
        if (!c.kept.empty()) {
            EXPECT_EQ(bytes_of(c.kept), kept_before);
        }
    }
}

TEST_F(HostProgramTest, HelpNamesEveryOption) {
    const auto run = run_program({kHost, "--help"}, 10s);
    EXPECT_EQ(run.code, 0);
    std::string text;
    for (const auto& line : run.lines) text += line + "\n";
    for (const char* option : {"--plugin", "--setting", "--device", "--tcp", "--rtu-over-tcp", "--baud", "--parity",
                               "--data-bits", "--stop-bits", "--slave", "--timeout", "--connect-pause",
                               "--request-pause", "--word-order", "--once", "--scan", "--rounds", "--max-failures",
                               "--interval", "--format", "--history", "--keep-days", "--metrics", "--log-level", "--quiet", "--verbose", "--help", "--version"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}


TEST_F(HostProgramTest, ALostSerialDeviceIsReopenedWhenItReturns) {
    // The meter program killed (its pseudo-terminal vanishes, the link stays
    // behind) or stopped (it removes its link), then started again.
    for (int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal);
        std::filesystem::remove(history_);
        const std::string link = dir_ + "/meter";
        auto sim = std::make_unique<ChildProcess>(std::vector<std::string>{kSim, "--round-seconds", "1", "--link", link});
        ASSERT_TRUE(sim->read_line(10s).has_value());
        ChildProcess host(host_args({"--device", link, "--timeout", "200", "--interval", "0.1"}));
        ASSERT_EQ(snapshots_from(host, 2, 20s).size(), 2u) << host.error_text();

        sim->send_signal(signal);
        sim->wait(10s);
        sim.reset();
        ASSERT_TRUE(host.wait_for_error("serial device " + link + " is gone", 30s)) << host.error_text();
        sim = std::make_unique<ChildProcess>(std::vector<std::string>{kSim, "--round-seconds", "1", "--link", link});
        ASSERT_TRUE(sim->read_line(10s).has_value()) << sim->error_text();

        EXPECT_EQ(snapshots_from(host, 3, 20s).size(), 3u) << host.error_text();
        host.send_signal(SIGTERM);
        EXPECT_EQ(host.wait(10s), 0);
        const std::string report = host.error_text();
        EXPECT_EQ(count_of(report, "serial device " + link + " is gone"), 1u) << report;
        EXPECT_EQ(count_of(report, "serial device " + link + " is back"), 1u) << report;
        EXPECT_TRUE(every_record_is_one_round(history_rows(history_), 200));
    }
}

TEST_F(HostProgramTest, ASecondProgramOnTheSameDeviceFailsAtOnceAndTheFirstGoesOn) {
    ChildProcess sim({kSim, "--round-seconds", "1", "--link", dir_ + "/meter"});
    ASSERT_TRUE(sim.read_line(10s).has_value());
    ChildProcess first(host_args({"--device", dir_ + "/meter", "--interval", "0.1"}));
    ASSERT_EQ(snapshots_from(first, 1, 20s).size(), 1u) << first.error_text();

    const auto started = std::chrono::steady_clock::now();
    const auto second =
        run_program({kHost, "--history", dir_ + "/second.db", "--device", dir_ + "/meter", "--rounds", "3"}, 20s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(second.code, 5);
    EXPECT_NE(second.errors.find("serial device " + dir_ + "/meter is in use by process"), std::string::npos)
        << second.errors;
    EXPECT_NE(second.errors.find("(pondrel-host)"), std::string::npos) << second.errors;

    ASSERT_EQ(snapshots_from(first, 3, 20s).size(), 3u) << first.error_text();
    first.send_signal(SIGTERM);
    EXPECT_EQ(first.wait(10s), 0);
    // The first program's rounds are the meter's rounds 1, 2, 3... undisturbed.
    const auto rows = history_rows(history_);
    ASSERT_GE(rows.size(), 4u);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(holds_round(record_of(rows[i]), i + 1)) << i;
    EXPECT_EQ(first.error_text().find("failed"), std::string::npos) << first.error_text();
}

TEST_F(HostProgramTest, StandardOutputCarriesOnlyJsonLinesAndItsFailuresEndTheProgram) {
    const auto run = run_program(host_args({"--rounds", "3", "--interval", "0"}), 30s);
    ASSERT_EQ(run.code, 0) << run.errors;
    ASSERT_EQ(run.lines.size(), 3u);
    for (const std::string& line : run.lines) {
        Json::CharReaderBuilder strict;
        strict["failIfExtra"] = true;
        Json::Value value;
        std::string errors;
        std::istringstream in(line);
        EXPECT_TRUE(Json::parseFromStream(strict, in, &value, &errors) && value.isObject()) << line;
    }
    EXPECT_EQ(run.errors.find("rvSize is 0"), std::string::npos);  // the plug-in's lines: only at debug

    struct Case {
        const char* shell;  // the program's command is $0
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"\"$@\" --interval 0.2 | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", 0, ""},
        {"\"$@\" --rounds 3 > /dev/full", 7, "pondrel-host: cannot write to standard output: No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shell);
        std::vector<std::string> args = {"bash", "-c", c.shell, "bash"};
        for (const std::string& a : host_args({})) args.push_back(a);
        const auto started = std::chrono::steady_clock::now();
        const auto piped = run_program(args, 20s);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(piped.code, c.code) << piped.errors;
        EXPECT_NE(piped.errors.find(c.says), std::string::npos) << piped.errors;
    }
}

TEST_F(HostProgramTest, ALockedHistoryNeitherStopsPollingNorLosesARound) {
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    std::filesystem::remove(history_);
    ChildProcess host(host_args({"--rounds", "25", "--interval", "0.1"}));
    ASSERT_EQ(snapshots_from(host, 2, 20s).size(), 2u) << host.error_text();
    {
        // Another writer holds the history far longer than a round waits.
        const WriteLock other(history_);
        ASSERT_TRUE(other.locked());
        EXPECT_EQ(snapshots_from(host, 4, 20s).size(), 4u) << host.error_text();
    }
    ASSERT_EQ(host.wait(60s), 0) << host.error_text();
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 25u);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(holds_round(record_of(rows[i]), i + 1, 0.1)) << i;
    const std::string report = host.error_text();
    EXPECT_EQ(count_of(report, "database is locked; keeping rounds in journal "), 1u) << report;
    EXPECT_EQ(count_of(report, "takes records again"), 1u) << report;

    // Still locked when the last round is done: the program waits for the
    // history as long as at start-up before it ends, then stores them all.
    ChildProcess last(host_args({"--rounds", "3", "--interval", "0.3"}));
    ASSERT_EQ(snapshots_from(last, 1, 20s).size(), 1u) << last.error_text();
    WriteLock other(history_);
    ASSERT_TRUE(other.locked());
    EXPECT_EQ(snapshots_from(last, 2, 20s).size(), 2u) << last.error_text();
    std::this_thread::sleep_for(1s);
    other.release();
    EXPECT_EQ(last.wait(20s), 0) << last.error_text();
    EXPECT_EQ(history_rows(history_).size(), 28u);
}

TEST_F(HostProgramTest, AStopWhileWaitingForALockedHistoryAtStartEndsAtOnce) {
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    WriteLock other(history_);
    ASSERT_TRUE(other.locked());
    ChildProcess host(host_args({"--rounds", "3"}));
    ASSERT_TRUE(host.wait_for_error("is held by another writer; waiting up to 5 s for it", 30s)) << host.error_text();
    host.send_signal(SIGTERM);
    // Had the stop not ended the wait, the start would have failed on the lock (exit 6).
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
    EXPECT_NE(host.error_text().find("stopped while waiting for history"), std::string::npos) << host.error_text();
}

TEST_F(HostProgramTest, AKillWhileTheHistoryIsLockedLosesNoPrintedRound) {
    ChildProcess sim({kSim, "--round-seconds", "1", "--link", dir_ + "/meter"});
    ASSERT_TRUE(sim.read_line(10s).has_value());
    const auto args = [&](std::vector<std::string> more) {
        more.insert(more.begin(), {"--device", dir_ + "/meter"});
        return host_args(more);
    };
    ASSERT_EQ(run_program(args({"--rounds", "1"}), 30s).code, 0);
    std::size_t printed = 1;
    {
        ChildProcess host(args({"--interval", "0.1"}));
        ASSERT_EQ(snapshots_from(host, 2, 20s).size(), 2u) << host.error_text();
        WriteLock other(history_);
        ASSERT_TRUE(other.locked());
        ASSERT_EQ(snapshots_from(host, 8, 20s).size(), 8u) << host.error_text();
        host.send_signal(SIGKILL);
        host.wait(10s);
        printed += 10;
    }
    // The next start stores what the journal kept first, in order, once.
    const auto again = run_program(args({"--rounds", "1"}), 30s);
    ASSERT_EQ(again.code, 0) << again.errors;
    EXPECT_NE(again.errors.find("completed rounds in journal"), std::string::npos) << again.errors;
    const auto rows = history_rows(history_);
    ASSERT_GE(rows.size(), printed + 1);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(holds_round(record_of(rows[i]), i + 1)) << i;
}

TEST_F(HostProgramTest, MissedPeriodsAreSkippedNotMadeUp) {
    const std::string fault = file("fault", "silent");
    ChildProcess sim({kSim, "--fault-file", fault});
    const auto path = sim.read_line(10s);
    ASSERT_TRUE(path.has_value());
    ChildProcess host(host_args({"--device", *path, "--timeout", "600", "--interval", "0.2"}));
    // A failed round waits out its timeout: it overruns its 0.2 s period thrice.
    ASSERT_TRUE(host.wait_for_error("failed", 30s)) << host.error_text();
    file("fault", "none");
    const auto answering = std::chrono::steady_clock::now();
    // Periods are kept, never made up: however late the rounds are read, no
    // more can have been done than periods have begun since the meter
    // answers again (one more for a round begun just before).
    int rounds = 0;
    while (rounds < 8) {
        const auto line = host.read_line(20s);
        ASSERT_TRUE(line.has_value()) << host.error_text();
        if (line->empty() || (*line)[0] != '{') continue;
        ++rounds;
        const double periods = std::chrono::duration<double>(std::chrono::steady_clock::now() - answering).count() / 0.2;
        EXPECT_LE(rounds, periods + 2) << "round " << rounds << " after " << periods << " periods";
    }
}

TEST_F(HostProgramTest, RestoredReadingsAreNotReportedAsFresh) {
    // The meter answered once on this line; now it is silent.
    const std::string fault = file("fault", "");
    ChildProcess sim({kSim, "--fault-file", fault, "--link", dir_ + "/meter"});
    ASSERT_TRUE(sim.read_line(10s).has_value());
    ASSERT_EQ(run_program(host_args({"--device", dir_ + "/meter", "--rounds", "1"}), 30s).code, 0);
    file("fault", "silent");
    ChildProcess host(host_args({"--device", dir_ + "/meter", "--timeout", "100", "--interval", "0.1"}));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (host.error_text().find("failed") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    host.send_signal(SIGTERM);
    host.wait(10s);
    EXPECT_NE(host.error_text().find("round 1 failed (Connection timed out), data restored, no round yet"),
              std::string::npos)
        << host.error_text();
}

TEST_F(HostProgramTest, StopsWithinAboutOneResponseTimeoutOfSigterm) {
    // Each request is answered just inside the timeout: a round takes four.
    ChildProcess sim({kSim, "--fault", "slow", "--slow-ms", "1500"});
    const auto path = sim.read_line(10s);
    ASSERT_TRUE(path.has_value());
    ChildProcess host(host_args({"--device", *path, "--timeout", "2000"}));
    ASSERT_TRUE(host.wait_for_error("; polling ", 30s)) << host.error_text();
    const auto signalled = std::chrono::steady_clock::now();
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(20s), 0) << host.error_text();
    // Within the request under way (at most 2 s), not the round's four (6 s).
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
}

TEST_F(HostProgramTest, ANewHistoryAndItsFoldersArePrivate) {
    const mode_t old = umask(022);
    const std::string history = dir_ + "/state/pondrel/history.db";
    const auto run = run_program({kHost, "--history", history, "--rounds", "1"}, 30s);
    umask(old);
    ASSERT_EQ(run.code, 0) << run.errors;
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(dir_ + "/state").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(dir_ + "/state/pondrel").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(history).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HostProgramTest, APlugInNamedWithoutAFolderIsTheFileHere) {
    const std::string plugin = dir_ + "/pondrel.so";
    std::filesystem::copy_file(PONDREL_PLUGIN_FILE, plugin);
    const auto run = run_program({"bash", "-c", "cd \"$1\" && exec \"$2\" --history history.db --plugin pondrel.so --rounds 1",
                                  "bash", dir_, kHost},
                                 30s);
    EXPECT_EQ(run.code, 0) << run.errors;
    EXPECT_NE(run.errors.find("loaded plug-in ./pondrel.so"), std::string::npos) << run.errors;
}

namespace {

// A 2 MB filesystem of its own at `path` for as long as this lives (root
// only: mounted() is false where it cannot be made).
struct SmallFilesystem {
    explicit SmallFilesystem(const std::string& where) : path(where) {
        std::filesystem::create_directory(path);
        mounted = geteuid() == 0 && run_program({"mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", path}, 10s).code == 0;
    }
    ~SmallFilesystem() {
        if (mounted) run_program({"umount", path}, 10s);
    }
    // Takes what space is left.
    void fill() const { run_program({"dd", "if=/dev/zero", "of=" + path + "/filler", "bs=64k"}, 20s); }
    void free() const { std::filesystem::remove(path + "/filler"); }
    std::string path;
    bool mounted = false;
};

}  // namespace

TEST_F(HostProgramTest, AKillWhileTheDiskIsFullLosesNoPrintedRound) {
    const SmallFilesystem small(dir_ + "/small");
    if (!small.mounted) GTEST_SKIP() << "no filesystem of its own can be mounted here";
    Meter meter({});
    const std::vector<std::string> args = {kHost, "--history", small.path + "/history.db", "--device", meter.path};
    std::size_t printed = 0;
    {
        ChildProcess host({args[0], args[1], args[2], args[3], args[4], "--interval", "0.2"});
        printed += snapshots_from(host, 3, 20s).size();
        ASSERT_EQ(printed, 3u) << host.error_text();
        small.fill();
        ASSERT_TRUE(host.wait_for_error("keeping rounds", 30s)) << host.error_text();
        // Rounds completed while the disk is full, then a kill.
        printed += snapshots_from(host, 10, 20s).size();
        host.send_signal(SIGKILL);
        host.wait(10s);
    }
    small.free();
    const auto again = run_program({args[0], args[1], args[2], args[3], args[4], "--rounds", "1"}, 60s);
    ASSERT_EQ(again.code, 0) << again.errors;
    EXPECT_NE(again.errors.find("completed rounds in journal"), std::string::npos) << again.errors;
    const auto rows = history_rows(small.path + "/history.db");
    ASSERT_GE(rows.size(), printed + 1);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(holds_round(record_of(rows[i]), i + 1)) << i;
}

TEST_F(HostProgramTest, AFullDiskIsRecoveredFromWhenSpaceReturns) {
    const SmallFilesystem small(dir_ + "/small");
    if (!small.mounted) GTEST_SKIP() << "no filesystem of its own can be mounted here";
    const std::string history = small.path + "/history.db";
    {
        ChildProcess host({kHost, "--history", history, "--interval", "0.2"});
        ASSERT_EQ(snapshots_from(host, 3, 20s).size(), 3u) << host.error_text();
        // Fill what is left, then wait for the history to say it is full.
        small.fill();
        EXPECT_TRUE(host.wait_for_error("keeping rounds", 30s)) << host.error_text();
        small.free();
        EXPECT_TRUE(host.wait_for_error("takes records again", 30s)) << host.error_text();
        host.send_signal(SIGTERM);
        EXPECT_EQ(host.wait(20s), 0) << host.error_text();
    }
    // Every round in order, none twice (the meter counts its rounds).
    const auto rows = history_rows(history);
    EXPECT_GE(rows.size(), 5u);
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(holds_round(record_of(rows[i]), i + 1, 0.2)) << i;
}
