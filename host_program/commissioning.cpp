#include "commissioning.h"

#include <cmath>
#include <cstdint>

OrderFinding find_word_order(ModbusMaster& line) {
    OrderFinding finding;
    std::uint16_t voltage[2];
    std::uint16_t currents[36];
    if (!line.read_registers(100, 2, voltage, finding.error) || !line.read_registers(102, 36, currents, finding.error)) {
        finding.fault = line.fault();
        return finding;
    }
    finding.answered = true;
    for (int i = 0; i < 4; ++i) {
        const float v = registers_to_float(voltage, kAllWordOrders[i]);
        finding.voltage[i] = v;
        bool plausible = std::isfinite(v) && v >= 50.0f && v <= 500.0f;
        for (int c = 0; c < 18 && plausible; ++c) plausible = std::isfinite(registers_to_float(&currents[2 * c], kAllWordOrders[i]));
        if (plausible) finding.plausible.push_back(kAllWordOrders[i]);
    }
    return finding;
}

std::string frame_format(const SerialSettings& settings) {
    return std::to_string(settings.data_bits) + settings.parity + std::to_string(settings.stop_bits);
}

std::string likely_causes(LineFault fault, const std::string& error, const SerialSettings& settings) {
    const bool serial = settings.transport == Transport::Serial;
    const std::string slave = "slave " + std::to_string(settings.slave);
    switch (fault) {
    case LineFault::NoAnswer:
        if (serial) {
            return "no answer from " + slave + " on " + settings.device + " at " + std::to_string(settings.baud) +
                   " baud " + frame_format(settings) +
                   ": check the slave address, baud rate, parity and wiring";
        }
        return "no answer from " + slave + " through " + settings.device +
               ": check the slave address (unit id) and the gateway's serial settings";
    case LineFault::Exception:
        return slave + " answered with an exception (" + error +
               "): check that the meter has this register map (holding registers 100 to 209)";
    case LineFault::BadCrc:
        return "answers from " + slave + " failed their CRC check: check the baud rate and parity, and the "
               "line for noise";
    case LineFault::Lost:
        return settings.device + " went away (" + error + ")";
    case LineFault::None:
    case LineFault::Other:
        break;
    }
    return "a request to " + slave + " failed (" + (error.empty() ? "incomplete round" : error) + ")";
}
