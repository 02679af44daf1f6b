#include "poller.h"

#include <modbus/modbus.h>

#include <cstring>

namespace pondrel {

static_assert(MODBUS_MAX_READ_REGISTERS / 2 * sizeof(float) <= SPModbus::kPayloadBytes,
              "the floats of the largest reply fit the device's reply buffer");

Poller::Poller(SPModbus& device, RegisterLine& line, WordOrder order)
    : device_(device), line_(line), order_(order) {}

void Poller::request(int start, int count) {
    if (size_ == kMaxPending) return;
    pending_[(head_ + size_) % kMaxPending] = {start, count};
    ++size_;
}

bool Poller::pop(std::pair<int, int>& next) {
    if (size_ == 0) return false;
    next = pending_[head_];
    head_ = (head_ + 1) % kMaxPending;
    --size_;
    return true;
}

RoundResult Poller::poll_round(const std::atomic<bool>* stop) {
    RoundResult result;
    head_ = 0;
    size_ = 0;
    device_.RefreshStatus();
    std::pair<int, int> next;
    for (int sent = 0; sent < static_cast<int>(kMaxPending) && pop(next); ++sent) {
        if (stop != nullptr && stop->load()) {
            result.error = "stopped";
            break;
        }
        const auto [start, count] = next;
        std::uint16_t registers[MODBUS_MAX_READ_REGISTERS];
        if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
            result.error = "request for " + std::to_string(count) + " registers";
            device_.on_error();
            break;
        }
        if (!line_.read_registers(start, count, registers, result.error)) {
            device_.on_error();
            break;
        }
        for (int i = 0; i + 1 < count; i += 2) {
            const float value = registers_to_float(&registers[i], order_);
            std::memcpy(device_.rx_payload + (i / 2) * sizeof(float), &value, sizeof value);
        }
        if (device_.process_payload(SPModbus::TAB_HOLDING_REGISTERS, static_cast<unsigned>(count)) == 0) {
            result.completed = true;
            break;
        }
    }
    return result;
}

}  // namespace pondrel
