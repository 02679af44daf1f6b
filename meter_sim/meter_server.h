// A simulated meter: a Modbus RTU slave on the master side of a new
// pseudo-terminal, serving holding registers 100 to 209 from meter_model.
// Masters open device_path() like any serial port. Each read that starts at
// register 100 (a new polling round) moves the readings to the next round.
//
// Faults for tests: silent (no answer), exception (server failure), crc (an
// answer whose CRC is wrong), slow (answers after slow_ms). The fault file,
// when given, is read before every request; its first word names the fault
// ("none" or empty: healthy).
//
// serve() runs on one thread until `stop` is set; the rest is not thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "word_order.h"

enum class MeterFault { None, Silent, Exception, BadCrc, Slow };

std::optional<MeterFault> parse_meter_fault(const std::string& text);

struct MeterServerOptions {
    WordOrder order = WordOrder::ABCD;
    int slave_id = 1;
    MeterFault fault = MeterFault::None;
    std::string fault_file;  // empty: `fault` holds
    int slow_ms = 1500;
};

class MeterServer {
public:
    // Opens the pseudo-terminal pair. Throws std::runtime_error on failure.
    explicit MeterServer(const MeterServerOptions& options);
    ~MeterServer();
    MeterServer(const MeterServer&) = delete;
    MeterServer& operator=(const MeterServer&) = delete;

    const std::string& device_path() const { return device_path_; }
    // Answers requests until `stop` becomes true (checked every 100 ms).
    void serve(const std::atomic<bool>& stop);

private:
    MeterFault current_fault() const;
    void answer(const std::uint8_t* query, int length);
    void answer_with_bad_crc(const std::uint8_t* query, int length);

    MeterServerOptions options_;
    int master_fd_ = -1;
    int slave_fd_ = -1;  // kept open so the line stays up between masters
    std::string device_path_;
    struct _modbus* ctx_ = nullptr;
    struct _modbus_mapping_t* mapping_ = nullptr;
    std::uint64_t round_ = 0;  // polling rounds started (answered reads of register 100)
};
