// pondrel-meter-sim end to end: its link, and a paced line's floor.
#include <memory>
#include <sstream>
#include <thread>

#include <modbus/modbus.h>

#include "host_program_fixture.h"

using namespace host_programs;


TEST(MeterSim, NeverReplacesAFileWithItsLink) {
    char dir_template[] = "/tmp/pondrel-sim-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/meter";
    std::ofstream(path) << "someone's notes";
    const auto run = run_program({kSim, "--link", path}, 10s);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.errors.find("is not a link to a pseudo-terminal"), std::string::npos) << run.errors;
    EXPECT_EQ(bytes_of(path), "someone's notes");
    std::filesystem::remove_all(dir);
}

TEST(MeterSim, AnEmptyOrMalformedSlaveListIsRefusedNotServed) {
    for (const char* slaves : {"", ",", "1,,2", "0"}) {
        SCOPED_TRACE(slaves);
        const auto run = run_program({kSim, "--slave", slaves}, 30s);
        EXPECT_EQ(run.code, 2) << run.errors;
        EXPECT_TRUE(run.lines.empty());
        EXPECT_NE(run.errors.find("bad value for --slave: "), std::string::npos) << run.errors;
    }
}

TEST(MeterSim, APacedLineTakesAtLeastItsFloorForARound) {
    // Four reads (8-byte requests, replies of 5 + 2 bytes a register), each
    // request and reply followed by 3.5 characters of silence, 10 bits a character.
    const int blocks[4][2] = {{100, 2}, {102, 36}, {138, 36}, {174, 36}};
    for (int baud : {9600, 115200}) {
        SCOPED_TRACE(baud);
        double chars = 0;
        for (const auto& block : blocks) chars += 8 + 3.5 + 5 + 2 * block[1] + 3.5;
        const auto floor = std::chrono::duration<double>(chars * 10 / baud);
        ChildProcess sim({kSim, "--line-baud", std::to_string(baud)});
        const auto path = sim.read_line(10s);
        ASSERT_TRUE(path.has_value());
        modbus_t* ctx = modbus_new_rtu(path->c_str(), baud, 'N', 8, 1);
        ASSERT_NE(ctx, nullptr);
        modbus_set_slave(ctx, 1);
        ASSERT_EQ(modbus_connect(ctx), 0);
        std::uint16_t registers[40];
        // Three rounds back to back after a first one: each includes the
        // silence that follows the previous round's last answer. The margin
        // is this master's own wake-up latency, not the line's.
        std::chrono::steady_clock::time_point first_end;
        for (int round = 0; round < 4; ++round) {
            for (const auto& block : blocks) ASSERT_EQ(modbus_read_registers(ctx, block[0], block[1], registers), block[1]);
            if (round == 0) first_end = std::chrono::steady_clock::now();
        }
        EXPECT_GE(std::chrono::steady_clock::now() - first_end, 3 * floor - 1ms);
        modbus_close(ctx);
        modbus_free(ctx);
    }
}

TEST(MeterSim, RehearsesAGatewayOnATcpPort) {
    char dir_template[] = "/tmp/pondrel-sim-test-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const struct {
        const char* listen;
        const char* host_option;
    } cases[] = {{"--tcp-listen", "--tcp"}, {"--rtu-over-tcp-listen", "--rtu-over-tcp"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listen);
        ChildProcess sim({kSim, c.listen, "0", "--slave", "3", "--word-order", "CDAB"});
        const auto address = sim.read_line(10s);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(address->rfind("127.0.0.1:", 0), 0u) << *address;
        // Two masters one after the other: the second once the first has gone.
        for (int master = 0; master < 2; ++master) {
            const auto run = run_program({kHost, c.host_option, *address, "--slave", "3", "--word-order", "CDAB",
                                          "--once", "--format", "readings"},
                                         30s);
            EXPECT_EQ(run.code, 0) << run.errors;
            ASSERT_EQ(run.lines.size(), 1u) << run.errors;
            EXPECT_NE(run.lines[0].find("\"voltage_V\":2"), std::string::npos) << run.lines[0];
        }
        if (std::string(c.listen) == "--tcp-listen") {
            // Someone else's master: pymodbus reads the voltage's two registers.
            const std::string port = address->substr(address->find(':') + 1);
            const auto read = run_program(
                {"/usr/bin/python3", "-c",
                 "from pymodbus.client import ModbusTcpClient\n"
                 "c = ModbusTcpClient('127.0.0.1', port=" + port + ")\n"
                 "c.connect()\n"
                 "r = c.read_holding_registers(100, 2, slave=3)\n"
                 "print(len(r.registers))\n"
                 "c.close()\n"},
                30s);
            EXPECT_EQ(read.code, 0) << read.errors;
            EXPECT_EQ(read.lines, std::vector<std::string>{"2"}) << read.errors;
        }
    }
    std::filesystem::remove_all(dir);
}
