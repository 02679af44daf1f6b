// The history end to end: pondrel-history's export of what pondrel-host
// stored, a database of another program refused untouched, and old rows
// deleted but never the newest.
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include "host_program_fixture.h"

using namespace host_programs;

namespace {

class HistoryTest : public HostProgramTest {};

// A history's PRAGMA `name`, or -1 when it cannot be read.
int pragma_of(const std::string& path, const std::string& name) {
    sqlite3* db = nullptr;
    int value = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, ("PRAGMA " + name).c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

}  // namespace

TEST_F(HistoryTest, HistoryExportGivesTheStoredRecordsExactly) {
    ASSERT_EQ(run_program(host_args({"--rounds", "5", "--interval", "0"}), 30s).code, 0);
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 5u);

    const auto csv = run_program({kHistoryTool, "export", "--history", history_, "--format", "csv"}, 30s);
    ASSERT_EQ(csv.code, 0) << csv.errors;
    ASSERT_EQ(csv.lines.size(), 6u);
    EXPECT_EQ(csv.lines[0].rfind("data_id,saved_at,voltage_V,current1_A,current2_A,", 0), 0u);
    EXPECT_NE(csv.lines[0].find(",power18_W,energy1_kWh,"), std::string::npos);
    EXPECT_EQ(csv.lines[0].substr(csv.lines[0].size() - 19), ",energy18_kWh,meter");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        std::vector<std::string> fields;
        std::stringstream line(csv.lines[i + 1]);
        for (std::string field; std::getline(line, field, ',');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 58u);
        EXPECT_EQ(fields[57], rows[i].meter);
        EXPECT_EQ(fields[0], std::to_string(rows[i].data_id));
        EXPECT_EQ(fields[1].substr(0, 19), rows[i].saved_at);  // then the UTC offset
        EXPECT_TRUE(fields[1].size() == 25 && (fields[1][19] == '+' || fields[1][19] == '-')) << fields[1];
        // The blob, decoded here on its own: 55 little-endian floats from byte 4.
        for (std::size_t v = 0; v < 55; ++v) {
            std::uint32_t stored_bits = 0;
            for (int b = 3; b >= 0; --b) stored_bits = (stored_bits << 8) | rows[i].record[4 + v * 4 + static_cast<std::size_t>(b)];
            const float exported = std::strtof(fields[2 + v].c_str(), nullptr);
            std::uint32_t exported_bits = 0;
            std::memcpy(&exported_bits, &exported, 4);
            EXPECT_EQ(exported_bits, stored_bits) << "column " << v + 2 << ": " << fields[2 + v];
        }
    }

    const auto jsonl = run_program({kHistoryTool, "export", "--history", history_, "--format", "jsonl", "--data-id", "1"}, 30s);
    ASSERT_EQ(jsonl.code, 0) << jsonl.errors;
    const auto objects = json_lines(jsonl.lines);
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_EQ(objects[4]["voltage_V"].asFloat(), record_of(rows[4]).voltage);
    EXPECT_EQ(objects[4]["energy18_kWh"].asFloat(), record_of(rows[4]).energy[17]);

    const auto list = run_program({kHistoryTool, "list", "--history", history_}, 30s);
    ASSERT_EQ(list.code, 0) << list.errors;
    ASSERT_EQ(list.lines.size(), 2u);
    EXPECT_EQ(list.lines[1].rfind("1,simulated meter slave 1,5,", 0), 0u) << list.lines[1];
    // A selection that names no series is refused with what there is, not
    // answered with an empty export.
    const struct {
        std::vector<std::string> selection;
        const char* says;
    } missing[] = {
        {{"--data-id", "2"}, "holds no data id 2; it holds data ids 1"},
        {{"--meter", "simulated meter slave 2"}, "holds no meter 'simulated meter slave 2'; it holds meters "
                                                 "'simulated meter slave 1'"},
        {{"--meter", "simulated meter slave 1", "--data-id", "3"}, "holds no meter 'simulated meter slave 1' with "
                                                                   "data id 3"},
    };
    for (const auto& c : missing) {
        std::vector<std::string> args = {kHistoryTool, "export", "--history", history_};
        args.insert(args.end(), c.selection.begin(), c.selection.end());
        const auto run = run_program(args, 30s);
        EXPECT_EQ(run.code, 2) << c.says;
        EXPECT_TRUE(run.lines.empty()) << c.says;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << run.errors;
    }
}

TEST_F(HistoryTest, ADatabaseOfAnotherProgramIsRefusedUntouched) {
    const std::string foreign = dir_ + "/notes.db";
    execute_sql(foreign, "CREATE TABLE notes (id INTEGER PRIMARY KEY, text TEXT); INSERT INTO notes (text) VALUES ('x')");
    const std::string before = bytes_of(foreign);
    const auto host = run_program({kHost, "--history", foreign, "--rounds", "1"}, 30s);
    EXPECT_EQ(host.code, 6);
    EXPECT_NE(host.errors.find("is not a pondrel history"), std::string::npos) << host.errors;
    const auto tool = run_program({kHistoryTool, "export", "--history", foreign}, 30s);
    EXPECT_EQ(tool.code, 6);
    EXPECT_NE(tool.errors.find("is not a pondrel history"), std::string::npos) << tool.errors;
    EXPECT_EQ(bytes_of(foreign), before);
    EXPECT_FALSE(std::filesystem::exists(foreign + "-wal"));

    // A history identifies itself.
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    EXPECT_EQ(pragma_of(history_, "application_id"), 0x504E4452);
}

TEST_F(HistoryTest, OldRowsGoButNeverTheNewest) {
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    // Rows from long ago, of this device and of another.
    execute_sql(history_,
                "INSERT INTO history (data_id, type_code, saved_at, record) SELECT 1, 5156, '2001-01-01T00:00:00', record "
                "FROM history; INSERT INTO history (data_id, type_code, saved_at, record) SELECT 2, 5156, "
                "'2001-01-01T00:00:00', record FROM history WHERE id = 1");
    ASSERT_EQ(history_rows(history_).size(), 3u);
    const auto run = run_program(host_args({"--rounds", "1", "--keep-days", "30"}), 30s);
    ASSERT_EQ(run.code, 0) << run.errors;
    const auto rows = history_rows(history_);
    // Data id 1 loses its old row and keeps its recent ones; data id 2 is
    // another device, whose old row is its newest anyway.
    ASSERT_EQ(rows.size(), 3u);
    int old_of_1 = 0;
    int of_2 = 0;
    for (const Row& row : rows) {
        old_of_1 += row.data_id == 1 && row.saved_at.rfind("2001", 0) == 0 ? 1 : 0;
        of_2 += row.data_id == 2 ? 1 : 0;
    }
    EXPECT_EQ(old_of_1, 0);
    EXPECT_EQ(of_2, 1);
    EXPECT_NE(run.errors.find("deleted 1 rows older than 30 days"), std::string::npos) << run.errors;
}

TEST_F(HistoryTest, TamperedRowsOddFilesAndReadOnlyFoldersAreReadSafely) {
    ASSERT_EQ(run_program(host_args({"--rounds", "2", "--interval", "0"}), 30s).code, 0);
    // Rows another hand changed: texts that would break a line or a field,
    // a time that is none, ids beyond a data id's range.
    execute_sql(history_,
                "INSERT INTO history (data_id, type_code, saved_at, record) VALUES"
                " (1, 0, 'a,\"b' || char(10) || 'c', x'00'), (1, 0, '', x'00'),"
                " (1099511627776, 0, '2026-01-02T03:04:05', x'00'), (-1, 0, '2026-01-02T03:04:05', x'00')");
    const std::string tool = std::string(kHistoryTool) + " export --history '" + history_ + "'";
    const auto csv = run_program(
        {"bash", "-c",
         tool + " | /usr/bin/python3 -c 'import csv,sys; rows=list(csv.reader(sys.stdin)); "
                "print(len(rows), set(len(r) for r in rows), rows[3][1] == \"a,\\\"b\\nc\", rows[5][0], rows[6][0])'"},
        30s);
    ASSERT_EQ(csv.code, 0) << csv.errors;
    ASSERT_EQ(csv.lines.size(), 1u) << csv.errors;
    EXPECT_EQ(csv.lines[0], "7 {58} True 1099511627776 -1");
    for (const char* says : {"row 3: its stored time \"a,\\\"b\\nc\" is not a time", "row 4: its stored time \"\" is not a time",
                             "row 5: its data id 1099511627776 is out of range", "row 6: its data id -1 is out of range"}) {
        EXPECT_NE(csv.errors.find(says), std::string::npos) << says << "\n" << csv.errors;
    }
    const auto jsonl = run_program(
        {"bash", "-c", tool + " --format jsonl | /usr/bin/python3 -c 'import json,sys; print([json.loads(l)[\"saved_at\"] for l in sys.stdin][2:4])'"},
        30s);
    ASSERT_EQ(jsonl.code, 0) << jsonl.errors;
    EXPECT_EQ(jsonl.lines, std::vector<std::string>{"['a,\"b\\nc', '']"});
    const auto list = run_program({kHistoryTool, "list", "--history", history_}, 30s);
    EXPECT_EQ(list.code, 0) << list.errors;

    // Reading leaves nothing beside the history, in a folder it may not write too.
    const std::string shelf = dir_ + "/shelf";
    std::filesystem::create_directory(shelf);
    std::filesystem::copy_file(history_, shelf + "/history.db");
    std::filesystem::permissions(shelf, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const auto shelved = run_program({kHistoryTool, "list", "--history", shelf + "/history.db"}, 30s);
    std::filesystem::permissions(shelf, std::filesystem::perms::owner_all);
    EXPECT_EQ(shelved.code, 0) << shelved.errors;
    EXPECT_EQ(shelved.lines, list.lines);
    for (const std::string& folder : {dir_, shelf}) {
        for (const char* beside : {"/history.db-wal", "/history.db-shm"}) {
            EXPECT_FALSE(std::filesystem::exists(folder + beside)) << folder + beside;
        }
    }

    // A FIFO is refused at once; offsets beyond the world's are refused.
    const std::string fifo = dir_ + "/fifo.db";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto fifo_run = run_program({kHistoryTool, "list", "--history", fifo}, 10s);
    EXPECT_EQ(fifo_run.code, 6);
    EXPECT_NE(fifo_run.errors.find("history " + fifo + " is not a regular file"), std::string::npos) << fifo_run.errors;
    for (const auto& [since, code] : std::vector<std::pair<std::string, int>>{
             {"2026-01-01T00:00+14:00", 0}, {"2026-01-01T00:00-14:00", 0}, {"2026-01-01T00:00+99:99", 2},
             {"2026-01-01T00:00-14:30", 2}, {"2026-01-01T00:00+05:60", 2}}) {
        EXPECT_EQ(run_program({kHistoryTool, "export", "--history", history_, "--since", since}, 30s).code, code) << since;
    }
}

TEST_F(HistoryTest, EachMeterIsItsOwnSeriesAndTimesKeepTheirOffset) {
    // Two meters, both with the default data id, polled one after the other
    // into one history, the second from a machine set to Tokyo time.
    Meter a({"--link", dir_ + "/meter-a"});
    Meter b({"--link", dir_ + "/meter-b", "--word-order", "ABCD"});
    ASSERT_EQ(run_program(host_args({"--device", dir_ + "/meter-a", "--rounds", "2", "--interval", "0"}), 30s).code, 0);
    const auto tokyo = run_program({"env", "TZ=Asia/Tokyo", kHost, "--history", history_, "--device",
                                    dir_ + "/meter-b", "--rounds", "1"},
                                   30s);
    ASSERT_EQ(tokyo.code, 0) << tokyo.errors;
    // Meter b had no rows: nothing of meter a's is restored into it.
    EXPECT_EQ(tokyo.errors.find("restored"), std::string::npos) << tokyo.errors;
    const auto again = run_program(host_args({"--device", dir_ + "/meter-a", "--rounds", "1"}), 30s);
    EXPECT_NE(again.errors.find("restored the newest record of data id 1"), std::string::npos) << again.errors;

    const auto list = run_program({kHistoryTool, "list", "--history", history_}, 30s);
    ASSERT_EQ(list.code, 0) << list.errors;
    ASSERT_EQ(list.lines.size(), 3u) << list.errors;
    EXPECT_EQ(list.lines[1].rfind("1," + dir_ + "/meter-a slave 1,3,", 0), 0u) << list.lines[1];
    EXPECT_EQ(list.lines[2].rfind("1," + dir_ + "/meter-b slave 1,1,", 0), 0u) << list.lines[2];

    // The same rows give the same times whatever the exporting shell's zone;
    // the Tokyo row keeps +09:00.
    std::vector<std::string> exports;
    for (const char* zone : {"TZ=UTC", "TZ=America/New_York"}) {
        const auto run = run_program({"env", zone, kHistoryTool, "export", "--history", history_, "--format", "jsonl",
                                      "--meter", dir_ + "/meter-b slave 1"},
                                     30s);
        ASSERT_EQ(run.code, 0) << run.errors;
        ASSERT_EQ(run.lines.size(), 1u);
        exports.push_back(run.lines[0]);
    }
    EXPECT_EQ(exports[0], exports[1]);
    const auto row = json_lines(exports)[0];
    EXPECT_EQ(row["saved_at"].asString().substr(19), "+09:00");
    EXPECT_EQ(row["meter"].asString(), dir_ + "/meter-b slave 1");
}

TEST_F(HistoryTest, AnOlderHistoryIsMigratedInPlaceKeepingEveryRow) {
    // A history as the previous schema wrote it: no meter, no offset.
    execute_sql(history_,
                "PRAGMA application_id=1347306578; PRAGMA user_version=1;"
                "CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,"
                " type_code INTEGER NOT NULL, saved_at TEXT NOT NULL, record BLOB NOT NULL);"
                "INSERT INTO history (data_id, type_code, saved_at, record) VALUES"
                " (1, 5156, '2026-01-02T03:04:05', x'00'), (1, 5156, '2026-01-02T03:04:06', x'00')");
    ASSERT_EQ(run_program(host_args({"--rounds", "1"}), 30s).code, 0);
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].saved_at, "2026-01-02T03:04:05");
    EXPECT_EQ(rows[2].meter, "simulated meter slave 1");
    const auto run = run_program({"env", "TZ=UTC", kHistoryTool, "export", "--history", history_}, 30s);
    ASSERT_EQ(run.code, 0) << run.errors;
    EXPECT_EQ(run.lines[1].substr(0, 28), "1,2026-01-02T03:04:05+00:00,");
    EXPECT_NE(run.errors.find("2 rows (the first: row 1) were stored without their UTC offset"), std::string::npos)
        << run.errors;
    EXPECT_EQ(pragma_of(history_, "user_version"), 4);
}

TEST_F(HistoryTest, ReadingsOnStandardOutputAreTheExportsRowOfTheSameRound) {
    const auto run = run_program(host_args({"--rounds", "2", "--interval", "0", "--format", "readings"}), 30s);
    ASSERT_EQ(run.code, 0) << run.errors;
    const auto printed = json_lines(run.lines);
    const auto exported = json_lines(
        run_program({kHistoryTool, "export", "--history", history_, "--format", "jsonl"}, 30s).lines);
    ASSERT_EQ(printed.size(), 2u);
    ASSERT_EQ(exported.size(), 2u);
    for (std::size_t r = 0; r < 2; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(printed[r]["meter"], exported[r]["meter"]);
        EXPECT_EQ(printed[r]["data_id"].asInt(), exported[r]["data_id"].asInt());
        EXPECT_EQ(printed[r]["time"].asString(), exported[r]["saved_at"].asString());
        EXPECT_EQ(printed[r]["voltage_V"].asFloat(), exported[r]["voltage_V"].asFloat());
        for (Json::ArrayIndex n = 0; n < 18; ++n) {
            const std::string c = std::to_string(n + 1);
            EXPECT_EQ(printed[r]["current_A"][n].asFloat(), exported[r]["current" + c + "_A"].asFloat()) << n;
            EXPECT_EQ(printed[r]["power_W"][n].asFloat(), exported[r]["power" + c + "_W"].asFloat()) << n;
            EXPECT_EQ(printed[r]["energy_kWh"][n].asFloat(), exported[r]["energy" + c + "_kWh"].asFloat()) << n;
        }
    }
}

TEST_F(HistoryTest, AReportOfRowsStoredOverRestartsHoldsTheCountersRise) {
    // Two runs polling one simulated meter, a restart between them.
    Meter meter({});
    ASSERT_FALSE(meter.path.empty());
    ASSERT_EQ(run_program(host_args({"--device", meter.path, "--rounds", "40", "--interval", "0"}), 30s).code, 0);
    ASSERT_EQ(run_program(host_args({"--device", meter.path, "--rounds", "40", "--interval", "0"}), 30s).code, 0);
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 80u);
    const Pondrel_Data_t first = record_of(rows.front());
    const Pondrel_Data_t last = record_of(rows.back());

    const auto report = run_program({kHistoryTool, "report", "--history", history_, "--period", "year"}, 30s);
    ASSERT_EQ(report.code, 0) << report.errors;
    Json::Value periods;
    std::string text;
    for (const std::string& line : report.lines) text += line + "\n";
    ASSERT_TRUE(Json::Reader().parse(text, periods)) << text;
    ASSERT_EQ(periods.size(), 1u) << text;
    const Json::Value& year = periods[0];
    EXPECT_EQ(year["meter"].asString(), rows.front().meter);
    EXPECT_TRUE(year["cost"].isNull());
    EXPECT_GT(year["peak_demand_kW"].asDouble(), 0.0);
    ASSERT_EQ(year["energy_kWh"].size(), 18u);
    for (Json::ArrayIndex n = 0; n < 18; ++n) {
        EXPECT_NEAR(year["energy_kWh"][n].asDouble(),
                    static_cast<double>(last.energy[n]) - static_cast<double>(first.energy[n]), 2e-6)
            << "circuit " << n + 1;
    }

    // What is not there is named with what is.
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--meter", "nope"}, 2, "pondrel-history: no meter 'nope'; the meters are '" + rows.front().meter + "'"},
        {{"--group", "Flat 2"}, 2, "pondrel-history: no group 'Flat 2'; the groups are none (groups come from the site file: --config)"},
        {{"--period", "fortnight"}, 2, "pondrel-history: bad value for --period: 'fortnight' (hour, day, week, month or year)"},
        {{"--since", "yesterday"}, 2, "pondrel-history: bad value for --since: 'yesterday'"},
        {{"--format", "xml"}, 2, "pondrel-history: bad value for --format: 'xml' (table, json or csv)"},
        {{"--period", "hour", "--since", "1970-01-01", "--until", "9999-01-01"}, 2,
         "pondrel-history: the range holds more than 1000000 hours of 1"},
        {{"--since", "1900-01-01"}, 2, "pondrel-history: bad value for --since: '1900-01-01' (YYYY-MM-DD"},
        {{"--config", dir_ + "/none.toml"}, 4, "pondrel-history: "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {kHistoryTool, "report", "--history", history_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = run_program(args, 30s);
        EXPECT_EQ(run.code, c.code) << c.args[0];
        EXPECT_EQ(run.errors.rfind(c.says, 0), 0u) << run.errors;
        EXPECT_TRUE(run.lines.empty()) << c.args[0];
    }
}
