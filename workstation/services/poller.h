// Runs polling rounds of one Modbus device over one register line, the way
// the board's serial layer does: the device asks for registers (queued by
// request()), the poller sends each request in turn, puts the reply's floats
// into rx_payload as native floats, and calls process_payload, or on_error
// when the request failed. The device never calls back into the line.
// A round allocates nothing. One thread at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

#include "register_line.h"
#include "sp_modbus.h"
#include "word_order.h"

namespace pondrel {

struct RoundResult {
    bool completed = false;  // process_payload said the round was complete
    std::string error;       // the failed request's reason, when one failed
};

class Poller {
public:
    // A device asks for a few blocks a round; more than this many requests
    // outstanding at once is a device that never stops asking.
    static constexpr std::size_t kMaxPending = 64;

    Poller(SPModbus& device, RegisterLine& line, WordOrder order);

    // Called from the device's modbus_read_registers. A request beyond
    // kMaxPending outstanding ones is dropped.
    void request(int start, int count);
    // One round: RefreshStatus, then the device's requests until the round
    // completes, a request fails, the device asks for nothing more, or
    // `stop` (when given) is set: it is checked before each request.
    RoundResult poll_round(const std::atomic<bool>* stop = nullptr);
    // How the meter lays its floats, once it is known.
    void set_word_order(WordOrder order) { order_ = order; }

private:
    bool pop(std::pair<int, int>& next);

    SPModbus& device_;
    RegisterLine& line_;
    WordOrder order_;
    std::array<std::pair<int, int>, kMaxPending> pending_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace pondrel
