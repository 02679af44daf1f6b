// Runs polling rounds of one Modbus device over one RTU line, the way the
// board's serial layer does: the device asks for registers (queued by
// request()), the poller sends each request in turn, puts the reply's floats
// into rx_payload as native floats, and calls process_payload, or on_error
// when the request failed. The device never calls back into the line.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "rtu_master.h"
#include "sp_modbus.h"
#include "word_order.h"

struct RoundResult {
    bool completed = false;  // process_payload said the round was complete
    std::string error;       // the failed request's reason, when one failed
};

class Poller {
public:
    Poller(SPModbus& device, RtuMaster& line, WordOrder order);

    // Called from the device's modbus_read_registers.
    void request(int start, int count) { pending_.emplace_back(start, count); }
    // One round: RefreshStatus, then the device's requests until the round
    // completes, a request fails, or the device asks for nothing more.
    RoundResult poll_round();

private:
    SPModbus& device_;
    RtuMaster& line_;
    WordOrder order_;
    std::deque<std::pair<int, int>> pending_;
};
