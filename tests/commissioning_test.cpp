// Commissioning a meter with pondrel-host (one-shot check, word order and
// address detection, gateways, the readable view) and reading the history
// with pondrel-history, end to end against the simulated meter.
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

#include "host_program_fixture.h"

using namespace host_programs;

namespace {

const std::string kHistoryTool = PONDREL_HISTORY_EXE;

// A simulated meter on its own pseudo-terminal, serving `args`.
struct Meter {
    explicit Meter(std::vector<std::string> args) : sim([&] {
        args.insert(args.begin(), kSim);
        return args;
    }()) {
        const auto line = sim.read_line(10s);
        path = line.value_or("");
    }
    ChildProcess sim;
    std::string path;
};

class CommissioningTest : public HostProgramTest {};

// The 55 numbers of the 801 text of a `--once` run's output, in key order.
std::vector<double> numbers_of(const std::vector<std::string>& lines) {
    std::vector<double> numbers;
    for (const Json::Value& snapshot : json_lines(lines)) {
        for (const std::string& key : snapshot.getMemberNames()) {
            if (snapshot[key].isNumeric()) numbers.push_back(snapshot[key].asDouble());
        }
    }
    return numbers;
}

}  // namespace

TEST_F(CommissioningTest, OnceChecksTheMeterAndNamesTheLikelyCauses) {
    Meter good({"--slave", "7"});
    Meter silent({"--fault", "silent"});
    Meter exception({"--fault", "exception"});
    Meter crc({"--fault", "crc"});
    struct Case {
        const char* name;
        std::string device;
        std::string slave;
        int code;
        std::string says;
    };
    const Case cases[] = {
        {"good meter", good.path, "7", 0, "round 1 complete"},
        {"silent meter", silent.path, "1", 8, "no answer from slave 1 on " + silent.path},
        {"wrong address", good.path, "5", 8, "check the slave address, baud rate, parity and wiring"},
        {"exception replies", exception.path, "1", 8, "check that the meter has this register map"},
        {"CRC errors", crc.path, "1", 8, "check the baud rate and parity, and the line for noise"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto started = std::chrono::steady_clock::now();
        const auto run = run_program(host_args({"--device", c.device, "--slave", c.slave, "--timeout", "300", "--once"}), 30s);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4 * 300ms + 2s);
        EXPECT_EQ(run.code, c.code) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << run.errors;
        EXPECT_EQ(json_lines(run.lines).size(), c.code == 0 ? 1u : 0u);
        if (c.code != 0) {
            EXPECT_EQ(count_of(run.errors, "pondrel-host: the round failed: "), 1u) << run.errors;
        }
    }

    // --max-failures gives up after that many failed rounds in a row.
    const auto run = run_program(
        host_args({"--device", silent.path, "--timeout", "100", "--interval", "0", "--max-failures", "3"}), 30s);
    EXPECT_EQ(run.code, 8);
    EXPECT_NE(run.errors.find("gave up after 3 failed rounds in a row: no answer from slave 1"), std::string::npos)
        << run.errors;
    EXPECT_EQ(count_of(run.errors, "failed (Connection timed out)"), 2u) << run.errors;
}

TEST_F(CommissioningTest, AutoWordOrderFindsTheMetersOrderOrRefuses) {
    for (const char* order : {"ABCD", "CDAB", "BADC", "DCBA"}) {
        SCOPED_TRACE(order);
        std::filesystem::remove(history_);
        Meter meter({"--word-order", order});
        const auto run = run_program(host_args({"--device", meter.path, "--word-order", "auto", "--once"}), 30s);
        ASSERT_EQ(run.code, 0) << run.errors;
        EXPECT_NE(run.errors.find(std::string("word order ") + order + " (voltage "), std::string::npos) << run.errors;
        const auto rows = history_rows(history_);
        ASSERT_EQ(rows.size(), 1u);
        // The order found reads the meter's second round (the detection read its first).
        EXPECT_TRUE(holds_round(record_of(rows[0]), 2));
    }
    Meter absurd({"--fault", "absurd"});
    const auto run = run_program(host_args({"--device", absurd.path, "--word-order", "auto", "--once"}), 30s);
    EXPECT_EQ(run.code, 9);
    EXPECT_NE(run.errors.find("no word order gives a voltage from 50 to 500 V"), std::string::npos) << run.errors;
    EXPECT_TRUE(run.lines.empty());
}

TEST_F(CommissioningTest, ScanFindsExactlyTheAddressesThatAnswer) {
    Meter meters({"--slave", "3,7", "--word-order", "CDAB"});
    const auto run = run_program({kHost, "--device", meters.path, "--scan", "1-10"}, 30s);
    EXPECT_EQ(run.code, 0) << run.errors;
    ASSERT_EQ(run.lines.size(), 2u) << run.errors;
    EXPECT_EQ(run.lines[0].rfind("slave 3: word order CDAB, voltage ", 0), 0u) << run.lines[0];
    EXPECT_EQ(run.lines[1].rfind("slave 7: word order CDAB, voltage ", 0), 0u) << run.lines[1];

    const auto none = run_program({kHost, "--device", meters.path, "--scan", "4-6"}, 30s);
    EXPECT_EQ(none.code, 8);
    EXPECT_TRUE(none.lines.empty());
    EXPECT_NE(none.errors.find("no slave from 4 to 6 answered"), std::string::npos) << none.errors;

    // Another master sees the same bus: a request for a missing meter does
    // not stop the meter that is there from answering.
    const auto read = run_program({"mbpoll", "-m", "rtu", "-a", "6,7", "-b", "9600", "-P", "none", "-t", "4:float",
                                   "-0", "-r", "100", "-c", "1", "-1", "-o", "0.5", meters.path},
                                  30s);
    std::string text;
    for (const auto& line : read.lines) text += line + "\n";
    EXPECT_NE(text.find("Polling slave 7"), std::string::npos) << text << read.errors;
    EXPECT_NE(text.find("[100]:"), std::string::npos) << text << read.errors;
}

TEST_F(CommissioningTest, GatewaysGiveTheSameNumbersAsTheSerialLine) {
    // Each way starts from a fresh meter, so each reads the meter's first round.
    std::vector<double> serial;
    {
        Meter meter({});
        const auto run = run_program(host_args({"--device", meter.path, "--once"}), 30s);
        ASSERT_EQ(run.code, 0) << run.errors;
        serial = numbers_of(run.lines);
        ASSERT_EQ(serial.size(), 55u);
    }
    struct Way {
        const char* name;
        std::vector<std::string> gateway;  // %DEVICE% and %PORT% filled in
        std::string option;
    };
    const Way ways[] = {
        {"Modbus TCP (pymodbus)", {"/usr/bin/python3", PONDREL_TCP_GATEWAY, "%DEVICE%", "%PORT%"}, "--tcp"},
        {"RTU over TCP (socat)", {"socat", "TCP-LISTEN:%PORT%,bind=127.0.0.1,reuseaddr", "FILE:%DEVICE%,raw,echo=0"},
         "--rtu-over-tcp"},
    };
    int port = 20000 + static_cast<int>(getpid() % 20000);
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        ++port;
        Meter meter({});
        std::vector<std::string> args;
        for (std::string arg : way.gateway) {
            for (const auto& [name, value] : {std::pair<std::string, std::string>{"%DEVICE%", meter.path},
                                              std::pair<std::string, std::string>{"%PORT%", std::to_string(port)}}) {
                const auto at = arg.find(name);
                if (at != std::string::npos) arg.replace(at, name.size(), value);
            }
            args.push_back(arg);
        }
        ChildProcess gateway(args);
        if (way.option == "--tcp") {
            ASSERT_EQ(gateway.read_line(20s).value_or(""), "ready") << gateway.error_text();
        }
        // Wait for the gateway to listen.
        testing_support::Finished run{};
        for (int attempt = 0; attempt < 50; ++attempt) {
            run = run_program(host_args({way.option, "127.0.0.1:" + std::to_string(port), "--once"}), 30s);
            if (run.code != 5) break;
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_EQ(run.code, 0) << run.errors << gateway.error_text();
        EXPECT_EQ(numbers_of(run.lines), serial);
    }
}

TEST_F(CommissioningTest, TheTableShowsCircuitsInOrderWithUnits) {
    const auto run = run_program(host_args({"--rounds", "1", "--format", "table"}), 30s);
    ASSERT_EQ(run.code, 0) << run.errors;
    ASSERT_GE(run.lines.size(), 21u);
    EXPECT_EQ(run.lines[1].rfind("voltage ", 0), 0u);
    EXPECT_NE(run.lines[1].find(" V"), std::string::npos);
    EXPECT_EQ(run.lines[2], "circuit   current A    power kW  energy kWh");
    const MeterReadings m = readings_at(1);
    for (int n = 1; n <= 18; ++n) {
        SCOPED_TRACE(n);
        int circuit = 0;
        double current = 0, power = 0, energy = 0;
        ASSERT_EQ(std::sscanf(run.lines[2 + static_cast<std::size_t>(n)].c_str(), "%d %lf %lf %lf", &circuit, &current,
                              &power, &energy),
                  4);
        EXPECT_EQ(circuit, n);
        EXPECT_NEAR(current, m.current[n - 1], 0.0005);
        EXPECT_NEAR(power, m.power[n - 1] / 1000.0, 0.0005);
        EXPECT_NEAR(energy, m.energy[n - 1], 0.0005);
    }
}

TEST_F(CommissioningTest, HistoryExportGivesTheStoredRecordsExactly) {
    ASSERT_EQ(run_program(host_args({"--rounds", "5", "--interval", "0"}), 30s).code, 0);
    const auto rows = history_rows(history_);
    ASSERT_EQ(rows.size(), 5u);

    const auto csv = run_program({kHistoryTool, "export", "--history", history_, "--format", "csv"}, 30s);
    ASSERT_EQ(csv.code, 0) << csv.errors;
    ASSERT_EQ(csv.lines.size(), 6u);
    EXPECT_EQ(csv.lines[0].rfind("data_id,saved_at,voltage_V,current1_A,current2_A,", 0), 0u);
    EXPECT_NE(csv.lines[0].find(",power18_W,energy1_kWh,"), std::string::npos);
    EXPECT_EQ(csv.lines[0].substr(csv.lines[0].size() - 13), ",energy18_kWh");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        std::vector<std::string> fields;
        std::stringstream line(csv.lines[i + 1]);
        for (std::string field; std::getline(line, field, ',');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 57u);
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
    EXPECT_EQ(list.lines[1].rfind("1,5,", 0), 0u) << list.lines[1];
    const auto nothing = run_program({kHistoryTool, "export", "--history", history_, "--data-id", "2"}, 30s);
    EXPECT_EQ(nothing.lines.size(), 1u);  // the header alone
}

TEST_F(CommissioningTest, ADatabaseOfAnotherProgramIsRefusedUntouched) {
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
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 0x504E4452);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST_F(CommissioningTest, OldRowsGoButNeverTheNewest) {
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
