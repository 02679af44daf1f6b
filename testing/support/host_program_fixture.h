// Shared by the end-to-end tests of the workstation programs: their paths,
// the history's rows, the simulated meter's rounds, JSON lines, and a fixture
// with a private folder and history.
#pragma once

#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <json/reader.h>
#include <gtest/gtest.h>

#include "child_process.h"
#include "meter_model.h"
#include "pondrel_data.h"

namespace host_programs {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::run_program;
using namespace pondrel;


const std::string kHost = PONDREL_HOST_EXE;
const std::string kSim = PONDREL_SIM_EXE;
const std::string kHistoryTool = PONDREL_HISTORY_EXE;

struct Row {
    std::uint32_t data_id;
    int type_code;
    std::string saved_at;
    std::vector<unsigned char> record;
    std::string meter;  // "" when the row names none
};

inline std::vector<Row> history_rows(const std::string& path) {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT data_id, type_code, saved_at, record, coalesce(meter, '') FROM history ORDER BY id", -1,
                       &statement, nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        Row row;
        row.data_id = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
        row.type_code = sqlite3_column_int(statement, 1);
        row.saved_at = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 3));
        row.record.assign(bytes, bytes + sqlite3_column_bytes(statement, 3));
        row.meter = reinterpret_cast<const char*>(sqlite3_column_text(statement, 4));
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

inline Pondrel_Data_t record_of(const Row& row) {
    Pondrel_Data_t record{};
    std::memcpy(&record, row.record.data(), std::min(row.record.size(), sizeof record));
    return record;
}

// True when the record holds exactly `m`.
inline bool holds_readings(const Pondrel_Data_t& record, const MeterReadings& m) {
    return std::memcmp(&record.voltage, &m.voltage, 4) == 0 &&
           std::memcmp(record.current, m.current, 72) == 0 &&
           std::memcmp(record.power, m.power, 72) == 0 &&
           std::memcmp(record.energy, m.energy, 72) == 0;
}
// True when the record holds exactly `slave`'s readings of `round` (each
// slave has its own), each round counted as `seconds_per_round` (the Meter
// below: 1 s; pondrel-host's built-in meter: its interval).
inline bool holds_round(const Pondrel_Data_t& record, std::uint64_t round, double seconds_per_round = 1.0,
                        int slave = 1) {
    return holds_readings(record, readings_at(round, slave, seconds_per_round));
}

// True when the 801 text shows the readings of `round`, float-exact.
inline bool shows_round(const Json::Value& snapshot, std::uint64_t round, double seconds_per_round = 1.0) {
    const MeterReadings m = readings_at(round, 1, seconds_per_round);
    if (snapshot[pondrel_meter::kVoltageKey].asDouble() != static_cast<double>(m.voltage)) return false;
    for (int n = 1; n <= kMeterCircuits; ++n) {
        const std::string number = std::to_string(n);
        if (snapshot[pondrel_meter::kCurrentKey + number].asDouble() != static_cast<double>(m.current[n - 1]) ||
            snapshot[pondrel_meter::kPowerKey + number].asDouble() !=
                static_cast<double>(m.power[n - 1] / 1000.0f) ||
            snapshot[pondrel_meter::kEnergyKey + number].asDouble() != static_cast<double>(m.energy[n - 1])) {
            return false;
        }
    }
    return true;
}

inline std::vector<Json::Value> json_lines(const std::vector<std::string>& lines) {
    std::vector<Json::Value> found;
    for (const std::string& line : lines) {
        if (line.empty() || line[0] != '{') continue;
        Json::Value value;
        Json::Reader reader;
        if (reader.parse(line, value)) found.push_back(value);
    }
    return found;
}

inline std::string time_text(const Pondrel_Time_t& t) {
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) + " " +
           std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second);
}

inline std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

inline std::string bytes_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

inline void execute_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// Another program's connection holding the history's write lock until
// release() or the end of its life.
class WriteLock {
public:
    explicit WriteLock(const std::string& path) {
        locked_ = sqlite3_open(path.c_str(), &db_) == SQLITE_OK && sqlite3_busy_timeout(db_, 10000) == SQLITE_OK &&
                  sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() { release(); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool locked() const { return locked_; }
    void release() {
        if (db_ == nullptr) return;
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3* db_ = nullptr;
    bool locked_ = false;
};

class HostProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir_template[] = "/tmp/pondrel-host-test-XXXXXX";
        dir_ = mkdtemp(dir_template);
        history_ = dir_ + "/history.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << content;
        return path;
    }
    std::vector<std::string> host_args(std::vector<std::string> extra) {
        std::vector<std::string> args = {kHost, "--history", history_};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::string dir_;
    std::string history_;
};



// The JSON lines `host` prints within `timeout`, up to `count` of them.
inline std::vector<Json::Value> snapshots_from(ChildProcess& host, std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::string> lines;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (auto line = host.read_line(200ms)) lines.push_back(*line);
    }
    return json_lines(lines);
}

// True when every stored record holds one whole round of a simulated meter
// (of any round up to `rounds`), never blocks of two.
inline bool every_record_is_one_round(const std::vector<Row>& rows, std::uint64_t rounds, int slave = 1) {
    std::vector<MeterReadings> served;
    MeterModel model(slave);
    while (model.round() < rounds) served.push_back(model.advance(1.0));
    for (const Row& row : rows) {
        const Pondrel_Data_t record = record_of(row);
        if (std::none_of(served.begin(), served.end(), [&](const MeterReadings& m) { return holds_readings(record, m); })) {
            return false;
        }
    }
    return true;
}


// A simulated meter on its own pseudo-terminal, serving `args`, each round
// counted as 1 s of meter time.
struct Meter {
    explicit Meter(std::vector<std::string> args) : sim([&] {
        args.insert(args.begin(), {kSim, "--round-seconds", "1"});
        return args;
    }()) {
        const auto line = sim.read_line(10s);
        path = line.value_or("");
    }
    ChildProcess sim;
    std::string path;
};

// The 55 numbers of the 801 text of a `--once` run's output, in key order.
inline std::vector<double> numbers_of(const std::vector<std::string>& lines) {
    std::vector<double> numbers;
    for (const Json::Value& snapshot : json_lines(lines)) {
        for (const std::string& key : snapshot.getMemberNames()) {
            if (snapshot[key].isNumeric()) numbers.push_back(snapshot[key].asDouble());
        }
    }
    return numbers;
}

}  // namespace host_programs
