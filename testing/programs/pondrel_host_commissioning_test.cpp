// Commissioning a meter with pondrel-host, end to end against the simulated
// meter: the one-shot check, word order and address detection, gateways and
// the readable view.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "host_program_fixture.h"

using namespace pondrel;

using namespace host_programs;

namespace {

class CommissioningTest : public HostProgramTest {};

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
    // One line when the state changes, not one a round.
    EXPECT_EQ(count_of(run.errors, "failed (Connection timed out)"), 1u) << run.errors;
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
    EXPECT_NE(run.errors.find("scanned 1 to 10 on " + meters.path + ": 10 addresses tried, 2 answered"),
              std::string::npos)
        << run.errors;

    // A slave that answers late neither hides the next nor is counted for it.
    Meter slow({"--slave", "4,5", "--fault", "4=slow", "--slow-ms", "150"});
    const auto behind = run_program({kHost, "--device", slow.path, "--scan", "4-5"}, 30s);
    EXPECT_EQ(behind.code, 0) << behind.errors;
    ASSERT_EQ(behind.lines.size(), 1u) << behind.errors;
    EXPECT_EQ(behind.lines[0].rfind("slave 5: word order ABCD", 0), 0u) << behind.lines[0];

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
    EXPECT_EQ(run.lines[2], "circuit   current A     power W  energy kWh");
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
        EXPECT_NEAR(power, m.power[n - 1], 0.0005);
        EXPECT_NEAR(energy, m.energy[n - 1], 0.0005);
    }
}

TEST_F(CommissioningTest, ChecksStoppedOrUnableToWriteSaySoInTheirExitCode) {
    Meter meters({"--slave", "3", "--fault", "silent"});
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* begun;  // the line that says polling or scanning began
        int code;
        const char* says;
    } cases[] = {
        {"--once stopped", {"--device", meters.path, "--timeout", "2000", "--once"}, "; polling ", 130,
         "interrupted: 0 of 1 meters answered once"},
        {"--scan stopped", {"--device", meters.path, "--timeout", "300", "--scan", "1-247"}, "scanning 1 to 247 on ", 130,
         "scan interrupted at slave "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto args = host_args(c.args);
        ChildProcess host(args);
        // Stopped once it polls or scans (its handlers are installed before).
        ASSERT_TRUE(host.wait_for_error(c.begun, 30s)) << host.error_text();
        host.send_signal(SIGINT);
        EXPECT_EQ(host.wait(30s), c.code) << host.error_text();
        EXPECT_NE(host.error_text().find(c.says), std::string::npos) << host.error_text();
    }
    // A scan's findings that cannot be written end it as polling's would.
    Meter answering({"--slave", "2"});
    const auto full = run_program({"bash", "-c", std::string(kHost) + " --device " + answering.path + " --scan 1-3 > /dev/full"}, 30s);
    EXPECT_EQ(full.code, 7) << full.errors;
    EXPECT_NE(full.errors.find("cannot write to standard output: No space left on device"), std::string::npos)
        << full.errors;
}

TEST_F(CommissioningTest, ChecksStoreNothingUnlessAskedAndDataIdsAreChosen) {
    const std::string state = dir_ + "/state";
    const std::string kept = state + "/pondrel/history.db";
    const std::string setting = file("setting.json", "{\"data_id\": 3}");
    const struct {
        const char* name;
        std::vector<std::string> args;
        int code;
        std::optional<std::uint32_t> stored_data_id;  // none: no history file
    } cases[] = {
        {"--once alone", {"--once"}, 0, std::nullopt},
        {"--once with --history", {"--once", "--history", kept}, 0, 1},
        {"--no-history", {"--rounds", "1", "--no-history"}, 0, std::nullopt},
        {"--data-id", {"--rounds", "1", "--data-id", "7"}, 0, 7},
        {"--data-id equal to the setting's", {"--rounds", "1", "--data-id", "3", "--setting", setting}, 0, 3},
        {"--data-id against the setting's", {"--rounds", "1", "--data-id", "4", "--setting", setting}, 2, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(state);
        std::vector<std::string> args = {"env", "XDG_STATE_HOME=" + state, kHost};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = run_program(args, 30s);
        EXPECT_EQ(run.code, c.code) << run.errors;
        EXPECT_EQ(std::filesystem::exists(kept), c.stored_data_id.has_value()) << run.errors;
        if (c.stored_data_id) {
            const auto rows = history_rows(kept);
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0].data_id, *c.stored_data_id);
        }
    }
}

TEST_F(CommissioningTest, OnceSaysWhatIsWrongAndWhatToTry) {
    // Exit 0 only for plausible readings; else the values and the likely
    // cause. Hints point the right way.
    Meter cdab({"--word-order", "CDAB"});
    Meter absurd({"--fault", "absurd"});
    ChildProcess tcp({kSim, "--tcp-listen", "0"});
    const auto tcp_address = tcp.read_line(10s);
    ChildProcess rtu({kSim, "--rtu-over-tcp-listen", "0"});
    const auto rtu_address = rtu.read_line(10s);
    ASSERT_TRUE(tcp_address && rtu_address);
    const struct {
        const char* name;
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {"the meter's order", {"--device", cdab.path, "--word-order", "CDAB", "--once"}, 0, ""},
        {"another order", {"--device", cdab.path, "--word-order", "ABCD", "--once"}, 8,
         "; likely the word order: CDAB gives "},
        {"no number at all", {"--device", absurd.path, "--word-order", "ABCD", "--once"}, 8,
         "implausible readings: voltage nan V"},
        {"RTU framing to a Modbus TCP gateway", {"--rtu-over-tcp", *tcp_address, "--timeout", "300", "--once"}, 8,
         "speaks Modbus TCP instead (--tcp)"},
        {"Modbus TCP to an RTU gateway", {"--tcp", *rtu_address, "--timeout", "300", "--once"}, 8,
         "(--rtu-over-tcp"},
        {"a name that does not resolve", {"--tcp", "no-such-gateway.invalid:502", "--once"}, 5,
         "the host name no-such-gateway.invalid does not resolve"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = run_program(host_args(c.args), 30s);
        EXPECT_EQ(run.code, c.code) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << run.errors;
    }
}

TEST_F(CommissioningTest, OnATerminalTheTableShowsAgeStalenessAndTheStatusBeneath) {
    const std::string fault = file("fault", "none");
    ChildProcess sim({kSim, "--fault-file", fault, "--link", dir_ + "/meter"});
    ASSERT_TRUE(sim.read_line(10s).has_value());
    // script(1) gives the program a terminal; what it draws comes out here.
    ChildProcess screen({"script", "-qfec",
                         std::string(kHost) + " --history " + history_ + " --device " + dir_ +
                             "/meter --timeout 100 --interval 0.5 --format table",
                         "/dev/null"});
    const auto wait_for = [&](const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = screen.read_line(200ms);
            if (line && line->find(text) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(wait_for("last round 0 s ago")) << screen.error_text();
    EXPECT_TRUE(wait_for("pondrel-host: round 1 complete, data fresh")) << "the status line under the table";
    file("fault", "silent");
    EXPECT_TRUE(wait_for("STALE: no round within its 0.5 s interval"));
    screen.send_signal(SIGTERM);
    screen.wait(10s);
}
