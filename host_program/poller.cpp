#include "poller.h"

#include <modbus/modbus.h>

#include <cstring>

static_assert(MODBUS_MAX_READ_REGISTERS / 2 * sizeof(float) <= SPModbus::kPayloadBytes,
              "the floats of the largest reply fit the device's reply buffer");

Poller::Poller(SPModbus& device, RtuMaster& line, WordOrder order)
    : device_(device), line_(line), order_(order) {}

RoundResult Poller::poll_round() {
    RoundResult result;
    pending_.clear();
    device_.RefreshStatus();
    // A device asks for a few blocks a round; the bound only guards against
    // one that never stops asking.
    for (int sent = 0; sent < 64 && !pending_.empty(); ++sent) {
        const auto [start, count] = pending_.front();
        pending_.pop_front();
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
