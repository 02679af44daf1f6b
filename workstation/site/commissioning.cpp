#include "commissioning.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "pondrel_meter.h"


namespace pondrel {

OrderFinding find_word_order(ModbusMaster& line) {
    OrderFinding finding;
    using pondrel_meter::kCurrentBlock;
    using pondrel_meter::kVoltageBlock;
    std::uint16_t voltage[kVoltageBlock.register_count];
    std::uint16_t currents[kCurrentBlock.register_count];
    if (!line.read_registers(kVoltageBlock.first_register, kVoltageBlock.register_count, voltage, finding.error) ||
        !line.read_registers(kCurrentBlock.first_register, kCurrentBlock.register_count, currents, finding.error)) {
        finding.fault = line.fault();
        return finding;
    }
    finding.answered = true;
    for (int i = 0; i < 4; ++i) {
        const float v = registers_to_float(voltage, kAllWordOrders[i]);
        finding.voltage[i] = v;
        bool plausible = std::isfinite(v) && v >= 50.0f && v <= 500.0f;
        for (int c = 0; c < pondrel_meter::kCircuits && plausible; ++c) plausible = std::isfinite(registers_to_float(&currents[2 * c], kAllWordOrders[i]));
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
               ": check the slave address (unit id) and the gateway's serial settings" +
               (settings.transport == Transport::RtuOverTcp
                    ? std::string(", and whether the gateway speaks Modbus TCP instead (--tcp)")
                    : std::string(", and whether the gateway passes RTU frames instead (--rtu-over-tcp)"));
    case LineFault::Exception:
        return slave + " answered with an exception (" + error +
               "): check that the meter has this register map (holding registers 100 to 209)";
    case LineFault::BadCrc:
        return "answers from " + slave + " failed their CRC check: check the baud rate and parity, and the "
               "line for noise";
    case LineFault::Mismatch:
        return "an answer for " + slave + " did not fit its request (" + error + "): check for another master " +
               (serial ? "or a second meter with this address on the line" : "on the gateway, or its unit id routing");
    case LineFault::Flood:
        return (serial ? settings.device : "gateway " + settings.device) + " floods (" + error +
               "): check for another master or a device sending on its own";
    case LineFault::Lost:
        return settings.device + " went away (" + error + ")";
    case LineFault::None:
    case LineFault::Other:
        break;
    }
    return "a request to " + slave + " failed (" + (error.empty() ? "incomplete round" : error) + ")";
}

std::string format_voltage(float volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f V", static_cast<double>(volts));
    return text;
}

std::string no_single_order(const OrderFinding& found) {
    std::string seen;
    for (int i = 0; i < 4; ++i) {
        char one[64];
        std::snprintf(one, sizeof one, "%s%s %g", i == 0 ? "" : ", ", word_order_name(kAllWordOrders[i]),
                      static_cast<double>(found.voltage[i]));
        seen += one;
    }
    return std::string(found.plausible.empty() ? "no" : "more than one") +
           " word order gives a voltage from 50 to 500 V with finite currents (" + seen + "); give --word-order";
}

std::string order_found(const OrderFinding& found) {
    const auto index = static_cast<std::size_t>(found.plausible[0]);
    return "word order " + std::string(word_order_name(found.plausible[0])) + " (voltage " +
           format_voltage(found.voltage[index]) + ")";
}

}  // namespace pondrel
