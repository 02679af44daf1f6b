// pondrel_line_bench: how close pondrel-host comes to the serial line's
// physical floor. For each line speed it runs pondrel-host (--interval 0)
// against the simulated meter on a paced line, and a minimal poller (libmodbus
// directly: the same four reads back to back, nothing else) against the same
// meter; it prints each one's mean round time and its ratio to the floor
// computed from the frame sizes. Then it compares pondrel-host's round on an
// unpaced line with an empty history and with one of 100,000 rows, and the
// history's bytes per round.
//
// usage: pondrel_line_bench [ROUNDS]   (default 30 a run; at least 20)
#include <sqlite3.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulated_meter.h"

using namespace pondrel;

namespace {

using Clock = std::chrono::steady_clock;

// The four reads of a round: start register and count.
constexpr int kBlocks[4][2] = {{100, 2}, {102, 36}, {138, 36}, {174, 36}};

// One round on the wire: each request (8 bytes) and reply (5 + 2 bytes a
// register) followed by 3.5 characters of silence, 10 bits a character (8N1).
double floor_ms(int baud) {
    double chars = 0;
    for (const auto& block : kBlocks) chars += 8 + 3.5 + (5 + 2 * block[1]) + 3.5;
    return chars * 10.0 * 1000.0 / baud;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Mean time between pondrel-host's round lines, first to last, so that its
// start-up is not counted. Returns milliseconds a round.
double host_round_ms(const std::string& device, int baud, int rounds, const std::string& history) {
    const std::string command = quoted(PONDREL_HOST_EXE) + " --device " + quoted(device) + " --baud " +
                                std::to_string(baud) + " --interval 0 --rounds " + std::to_string(rounds) +
                                " --history " + quoted(history) + " 2>/dev/null";
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) throw std::runtime_error("cannot run pondrel-host");
    std::vector<Clock::time_point> lines;
    std::vector<char> buffer(1 << 16);
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), out) != nullptr) {
        if (buffer[0] == '{') lines.push_back(Clock::now());
    }
    if (pclose(out) != 0 || lines.size() != static_cast<std::size_t>(rounds)) {
        throw std::runtime_error("pondrel-host did not complete its rounds on " + device);
    }
    return std::chrono::duration<double, std::milli>(lines.back() - lines.front()).count() / (rounds - 1);
}

// The same reads with libmodbus alone, back to back.
double minimal_round_ms(const std::string& device, int baud, int rounds) {
    modbus_t* ctx = modbus_new_rtu(device.c_str(), baud, 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        throw std::runtime_error("the minimal poller cannot open " + device);
    }
    std::uint16_t registers[MODBUS_MAX_READ_REGISTERS];
    Clock::time_point first{};
    for (int round = 0; round < rounds; ++round) {
        if (round == 1) first = Clock::now();  // like the host's: from the end of the first round
        for (const auto& block : kBlocks) {
            if (modbus_read_registers(ctx, block[0], block[1], registers) != block[1]) {
                throw std::runtime_error(std::string("the minimal poller's read failed: ") + modbus_strerror(errno));
            }
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - first).count() / (rounds - 1);
    modbus_close(ctx);
    modbus_free(ctx);
    return ms;
}

void checkpoint(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// A history of pondrel-host holding `rows` records of data id 1, all but its
// first written in one transaction.
void fill_history(const std::string& path, int rows) {
    {
        // pondrel-host makes the history; one round is enough.
        FILE* out = popen((quoted(PONDREL_HOST_EXE) + " --rounds 1 --history " + quoted(path) + " >/dev/null 2>&1").c_str(), "r");
        if (out == nullptr || pclose(out) != 0) throw std::runtime_error("cannot make a history");
    }
    if (rows <= 1) return;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows - 1) +
        ") INSERT INTO history (data_id, type_code, saved_at, record) SELECT 1, 5156, saved_at, record FROM n, "
        "(SELECT saved_at, record FROM history LIMIT 1); PRAGMA wal_checkpoint(TRUNCATE);";
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string reason = error != nullptr ? error : "?";
        sqlite3_free(error);
        sqlite3_close(db);
        throw std::runtime_error("cannot fill the history: " + reason);
    }
    sqlite3_close(db);
}

// The history's size: its file and its write-ahead log.
std::uintmax_t history_bytes(const std::string& path) {
    std::error_code error;
    std::uintmax_t total = std::filesystem::file_size(path, error);
    const std::uintmax_t wal = std::filesystem::file_size(path + "-wal", error);
    if (!error) total += wal;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(20, std::atoi(argv[1])) : 30;
    char folder_template[] = "/tmp/pondrel-line-bench-XXXXXX";
    const std::string folder = mkdtemp(folder_template);
    try {
        std::printf("rounds a run: %d (round times are means over the rounds after the first)\n\n", rounds);
        std::printf("| Line | Floor | pondrel-host | ratio | minimal poller | ratio | host / poller |\n");
        std::printf("| --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
        for (int baud : {9600, 115200}) {
            MeterServerOptions options;
            options.line_baud = baud;
            const SimulatedMeter meter(options);
            const double floor = floor_ms(baud);
            const double host = host_round_ms(meter.device_path(), baud, rounds, folder + "/paced.db");
            const double poller = minimal_round_ms(meter.device_path(), baud, rounds);
            std::printf("| %d baud 8N1 | %.1f ms | %.1f ms | %.3f | %.1f ms | %.3f | %.3f |\n", baud, floor, host,
                        host / floor, poller, poller / floor, host / poller);
        }

        std::printf("\nThe history's weight (unpaced line, %d rounds a run):\n\n", rounds * 4);
        std::printf("| History before the run | pondrel-host round | history growth a round |\n");
        std::printf("| --- | ---: | ---: |\n");
        for (int rows : {1, 100000}) {
            const std::string path = folder + "/history-" + std::to_string(rows) + ".db";
            fill_history(path, rows);
            checkpoint(path);
            const SimulatedMeter meter(MeterServerOptions{});
            const std::uintmax_t before = history_bytes(path);
            const double host = host_round_ms(meter.device_path(), 9600, rounds * 4, path);
            checkpoint(path);
            const double growth = static_cast<double>(history_bytes(path) - before) / (rounds * 4);
            std::printf("| %d rows | %.3f ms | %.0f bytes |\n", rows, host, growth);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pondrel_line_bench: %s\n", e.what());
        std::filesystem::remove_all(folder);
        return 1;
    }
    std::filesystem::remove_all(folder);
    return 0;
}
