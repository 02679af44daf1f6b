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
