#include "modes.h"

#include "commissioning.h"
#include "meter_line.h"
#include "program_main.h"
#include "status_line.h"
#include "stop_signal.h"

namespace pondrel {

int scan_line(const HostOptions& options, JsonOutput& output) {
    const MeterLine meter_line = open_meter_line(options);
    ModbusMaster& line = *meter_line.master;
    int answered = 0;
    for (int slave = options.scan->first; slave <= options.scan->second && !stop_requested(); ++slave) {
        line.set_slave(slave);
        const OrderFinding found = find_word_order(line);
        if (line.lost()) throw Failure(kExitBadLine, likely_causes(line.fault(), found.error, options.line));
        if (!found.answered && found.fault != LineFault::Exception) continue;
        ++answered;
        std::string text = "slave " + std::to_string(slave) + ": ";
        if (!found.answered) {
            text += "answers with an exception (" + found.error + "); not this meter's register map";
        } else if (found.plausible.size() == 1) {
            const auto index = static_cast<std::size_t>(found.plausible[0]);
            text += "word order " + std::string(word_order_name(found.plausible[0])) + ", voltage " +
                    format_voltage(found.voltage[index]);
        } else {
            text += "answers; word order unknown (" + std::to_string(found.plausible.size()) +
                    " orders give a plausible voltage)";
        }
        if (output.write(text + "\n") != JsonOutput::Result::Written) break;
    }
    if (answered == 0) {
        status_line("no slave from " + std::to_string(options.scan->first) + " to " + std::to_string(options.scan->second) +
               " answered on " + line.device() + " (" + std::to_string(options.line.baud) + " baud " +
               frame_format(options.line) + "): check the baud rate, parity and wiring");
        return kExitMeterFailed;
    }
    return kExitOk;
}

}  // namespace pondrel
