#include "modes.h"

#include <unistd.h>

#include <cstdio>

#include "commissioning.h"
#include "meter_line.h"
#include "program_main.h"
#include "site_setup.h"
#include "status_line.h"
#include "stop_signal.h"

namespace pondrel {

namespace {

// Ends a scan that a signal stopped, saying how far it came.
[[noreturn]] void interrupted(const std::string& prefix, std::pair<int, int> range, int at, int answered) {
    throw Failure(kExitInterrupted, prefix + "scan interrupted at slave " + std::to_string(at) + " (" +
                                        std::to_string(at - range.first) + " of " +
                                        std::to_string(range.second - range.first + 1) + " addresses tried, " +
                                        std::to_string(answered) + " answered)");
}

// Tries each address of `range` on `line`; one line on `output` for each that
// answers, after `prefix`. How many answered; -1 when the reader of the
// output has gone. Throws Failure when the output cannot be written or a
// signal stops the scan.
int scan_addresses(ModbusMaster& line, const SerialSettings& settings, std::pair<int, int> range,
                   const std::string& prefix, int retries, JsonOutput& output) {
    int answered = 0;
    const bool progress = isatty(STDERR_FILENO) == 1;
    const auto clear_progress = [&] {
        if (progress) std::fputs("\r\x1b[K", stderr);
    };
    const int total = range.second - range.first + 1;
    // Elsewhere than on a terminal, where the progress shows it, the scan says it begins.
    if (!progress) {
        status_line(prefix + "scanning " + std::to_string(range.first) + " to " + std::to_string(range.second) +
                    " on " + line.device());
    }
    for (int slave = range.first; slave <= range.second; ++slave) {
        if (progress) {
            // On a terminal, one line that counts the addresses up in place.
            std::fprintf(stderr, "\r%sscanning slave %d (%d of %d, %d answered)\x1b[K", prefix.c_str(), slave,
                         slave - range.first + 1, total, answered);
        }
        if (stop_requested()) {
            clear_progress();
            interrupted(prefix, range, slave, answered);
        }
        line.set_slave(slave);
        OrderFinding found = find_word_order(line);
        for (int again = 0; again < retries && !found.answered && found.fault != LineFault::Exception &&
                            !line.lost() && !stop_requested();
             ++again) {
            found = find_word_order(line);
        }
        if (line.lost()) {
            clear_progress();
            throw Failure(kExitBadLine, likely_causes(line.fault(), found.error, settings));
        }
        if (!found.answered && found.fault != LineFault::Exception) continue;
        clear_progress();
        ++answered;
        std::string text = prefix + "slave " + std::to_string(slave) + ": ";
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
        switch (output.write(text + "\n")) {
        case JsonOutput::Result::Written: break;
        case JsonOutput::Result::Closed: return -1;
        case JsonOutput::Result::Failed:
            throw Failure(kExitBadOutput, "cannot write to standard output: " + output.error());
        }
    }
    clear_progress();
    if (answered == 0) {
        status_line(prefix + "no slave from " + std::to_string(range.first) + " to " + std::to_string(range.second) +
                    " answered on " + line.device() + " (" + std::to_string(settings.baud) + " baud " +
                    frame_format(settings) + "): check the baud rate, parity and wiring");
    } else {
        status_line(prefix + "scanned " + std::to_string(range.first) + " to " + std::to_string(range.second) + " on " +
                    line.device() + ": " + std::to_string(total) + " addresses tried, " + std::to_string(answered) +
                    " answered");
    }
    return answered;
}

}  // namespace

int scan_line(const HostOptions& options, JsonOutput& output) {
    if (options.config.empty()) {
        const MeterLine meter_line = open_meter_line(options);
        const int answered = scan_addresses(*meter_line.master, options.line, *options.scan, "", options.retries, output);
        return answered == 0 ? kExitMeterFailed : kExitOk;
    }
    // Every line of the site, each with the scan's short timeout.
    const SiteConfig site = site_from_file(options);
    int answered = 0;
    for (const LineConfig& line : site.lines) {
        if (stop_requested()) interrupted("line " + line.name + ": ", *options.scan, options.scan->first, answered);
        SerialSettings settings = line.settings;
        settings.timeout_ms = 100;
        std::unique_ptr<ModbusMaster> master;
        try {
            master = open_line(settings);
        } catch (const std::exception& e) {
            status_line("line " + line.name + ": " + e.what());
            continue;
        }
        const int found =
            scan_addresses(*master, settings, *options.scan, "line " + line.name + ": ", options.retries, output);
        if (found < 0) return kExitOk;
        answered += found;
    }
    return answered == 0 ? kExitMeterFailed : kExitOk;
}

}  // namespace pondrel
