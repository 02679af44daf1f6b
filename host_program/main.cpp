// pondrel-host: runs a meter plug-in against a real meter on a serial line or
// against the built-in simulated meter, printing the driver's JSON snapshot
// after every completed round and keeping every record in an SQLite history.
// Standard output carries only those lines; everything else, the plug-in's
// console lines included, goes to standard error.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "commissioning.h"
#include "history.h"
#include "history_writer.h"
#include "host_services.h"
#include "json_output.h"
#include "kov_controller.h"
#include "options.h"
#include "plugin_module.h"
#include "poller.h"
#include "modbus_master.h"
#include "round_table.h"
#include "setting_file.h"
#include "simulated_meter.h"
#include "sp_modbus.h"
#include "workstation_services.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

// A failure that ends the program with `code` and a one-line message.
struct Failure {
    int code;
    std::string message;
};

enum ExitCode {
    kOk = 0,
    kInternal = 1,
    kBadOption = 2,
    kBadPlugin = 3,
    kBadSetting = 4,
    kBadDevice = 5,
    kBadHistory = 6,
    kBadOutput = 7,
    kMeterFailed = 8,
    kNoWordOrder = 9,
};

void report(const std::string& line) { std::cerr << "pondrel-host: " << line << std::endl; }

// "数据未就绪" and the like, in the words of this program's status line.
std::string data_status(const KovSPDevice& device) {
    std::string message;
    try {
        device.Get_Value(0, "");
        return "has a value";
    } catch (const std::out_of_range& e) {
        message = e.what();
    }
    if (message == "\xE6\x95\xB0\xE6\x8D\xAE\xE6\x9C\xAA\xE5\xB0\xB1\xE7\xBB\xAA") return "not ready";
    if (message == "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6") return "timed out";
    if (message == "\xE4\xB8\x8D\xE6\x94\xAF\xE6\x8C\x81\xE5\x8F\x98\xE9\x87\x8F") return "fresh";
    return message;
}

// The device's 801 text.
std::string snapshot_text(KovSPDevice& device) {
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 3; ++attempt) {
        int written = 0;
        if (device.DeviceIoControl(801, nullptr, 0, buffer.data(), static_cast<int>(buffer.size()), written) == 0) {
            return std::string(buffer.data(), static_cast<std::size_t>(written));
        }
        if (written <= static_cast<int>(buffer.size())) break;
        buffer.resize(static_cast<std::size_t>(written));
    }
    return "";
}

// Sleeps until `when`, a stop, or (when `output` is given) the reader of
// standard output going away, whichever comes first.
void sleep_until(Clock::time_point when, const JsonOutput* output = nullptr) {
    while (!g_stop && Clock::now() < when) {
        if (output != nullptr && output->reader_gone()) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), when - Clock::now()));
    }
}

// The first start of a period after `now`, in the phase of `next`: periods
// that a long round or an outage overran are skipped, not made up.
Clock::time_point next_start(Clock::time_point next, Clock::duration period, Clock::time_point now) {
    if (period <= Clock::duration::zero()) return now;
    if (next > now) return next;
    const auto missed = (now - next) / period + 1;
    return next + missed * period;
}

// Closes the lost line and opens its path again, waiting 0.5 s, doubling to
// 10 s, between attempts; each failed attempt counts as a failed round
// against `failures_left` (none: no limit). Returns false when stopped first;
// throws a Failure when the attempts run out.
bool reconnect(ModbusMaster& line, const std::string& reason, std::optional<long> failures_left) {
    report(line.describe() + " is gone (" + reason + "); reopening it");
    auto wait = std::chrono::milliseconds(500);
    while (!g_stop) {
        sleep_until(Clock::now() + wait);
        if (g_stop) break;
        try {
            line.reopen();
            report(line.describe() + " is back");
            return true;
        } catch (const std::exception& e) {
            if (failures_left && --*failures_left <= 0) {
                throw Failure{kMeterFailed, std::string("gave up: ") + e.what()};
            }
            wait = std::min<std::chrono::milliseconds>(wait * 2, std::chrono::seconds(10));
        }
    }
    return false;
}

// The built-in simulated meter, serving the configured slave address, its
// line paced when asked to.
std::unique_ptr<SimulatedMeter> start_simulated_meter(const HostOptions& options) {
    try {
        MeterServerOptions meter;
        meter.order = options.word_order;
        meter.slaves = {options.line.slave};
        meter.line_baud = options.simulated_line_baud;
        meter.bits_per_char = 1 + options.line.data_bits + (options.line.parity == 'N' ? 0 : 1) + options.line.stop_bits;
        return std::make_unique<SimulatedMeter>(meter);
    } catch (const std::exception& e) {
        throw Failure{kBadDevice, std::string("cannot start the simulated meter: ") + e.what()};
    }
}

// The line to the meter: the one the options name, or the built-in
// simulated meter's when they name none.
struct MeterLine {
    std::unique_ptr<SimulatedMeter> simulated;  // outlives the master
    SerialSettings settings;
    std::unique_ptr<ModbusMaster> master;
};

MeterLine open_meter_line(const HostOptions& options) {
    MeterLine line;
    line.settings = options.line;
    if (line.settings.device.empty()) {
        line.simulated = start_simulated_meter(options);
        line.settings.device = line.simulated->device_path();
    }
    try {
        line.master = std::make_unique<ModbusMaster>(line.settings);
    } catch (const std::exception& e) {
        throw Failure{kBadDevice, e.what()};
    }
    return line;
}

std::string format_voltage(float volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f V", static_cast<double>(volts));
    return text;
}

// Tries each address of the range with a short timeout; one line on standard
// output for each that answers.
int run_scan(const HostOptions& options, ModbusMaster& line, JsonOutput& output) {
    int answered = 0;
    for (int slave = options.scan->first; slave <= options.scan->second && !g_stop; ++slave) {
        line.set_slave(slave);
        const OrderFinding found = find_word_order(line);
        if (line.lost()) throw Failure{kBadDevice, likely_causes(line.fault(), found.error, options.line)};
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
        report("no slave from " + std::to_string(options.scan->first) + " to " + std::to_string(options.scan->second) +
               " answered on " + line.device() + " (" + std::to_string(options.line.baud) + " baud " +
               frame_format(options.line) + "): check the baud rate, parity and wiring");
        return kMeterFailed;
    }
    return kOk;
}

// The single word order that gives the meter's readings plausible values.
WordOrder detect_word_order(const HostOptions& options, ModbusMaster& line) {
    const OrderFinding found = find_word_order(line);
    if (!found.answered) throw Failure{kMeterFailed, likely_causes(found.fault, found.error, options.line)};
    if (found.plausible.size() != 1) {
        std::string seen;
        for (int i = 0; i < 4; ++i) {
            char one[64];
            std::snprintf(one, sizeof one, "%s%s %g", i == 0 ? "" : ", ", word_order_name(kAllWordOrders[i]),
                          static_cast<double>(found.voltage[i]));
            seen += one;
        }
        throw Failure{kNoWordOrder, std::string(found.plausible.empty() ? "no" : "more than one") +
                                        " word order gives a voltage from 50 to 500 V with finite currents (" + seen +
                                        "); give --word-order"};
    }
    const auto index = static_cast<std::size_t>(found.plausible[0]);
    report("word order " + std::string(word_order_name(found.plausible[0])) + " (voltage " +
           format_voltage(found.voltage[index]) + ")");
    return found.plausible[0];
}

// One round's line on standard output: the snapshot text, or the table.
JsonOutput::Result show_round(const HostOptions& options, KovSPDevice& device, JsonOutput& output) {
    const std::string text = snapshot_text(device);
    if (options.format == OutputFormat::Json) return output.write(text);
    // On a terminal the table is drawn again in place; elsewhere appended.
    const std::string clear = output.is_terminal() ? "\x1b[H\x1b[J" : "";
    return output.write(clear + round_table(text) + (output.is_terminal() ? "" : "\n"));
}

int run(const HostOptions& options, JsonOutput& output) {
    if (options.scan) {
        const MeterLine line = open_meter_line(options);
        return run_scan(options, *line.master, output);
    }

    DeviceSetting setting;
    try {
        setting = read_setting(options.setting);
    } catch (const SettingError& e) {
        throw Failure{kBadSetting, e.what()};
    }

    std::unique_ptr<PluginModule> plugin;
    try {
        plugin = std::make_unique<PluginModule>(options.plugin);
    } catch (const std::exception& e) {
        throw Failure{kBadPlugin, e.what()};
    }
    // Deleted before the plug-in is unloaded.
    std::unique_ptr<KovSPDevice> device;
    try {
        device.reset(plugin->create());
    } catch (const std::exception& e) {
        throw Failure{kBadPlugin, e.what()};
    }
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr) throw Failure{kBadPlugin, "plug-in " + options.plugin + " made a device that is not a Modbus device"};

    const auto controller = std::make_shared<KovController>();
    try {
        device->Init(controller, setting.data_id, setting.json);
    } catch (const std::exception& e) {
        throw Failure{kBadSetting, "the device refused setting file " + options.setting + ": " + e.what()};
    }

    const MeterLine meter_line = open_meter_line(options);
    const SerialSettings& line_settings = meter_line.settings;
    ModbusMaster* const line = meter_line.master.get();
    const WordOrder order = options.word_order_auto ? detect_word_order(options, *line) : options.word_order;

    std::unique_ptr<History> history;
    std::optional<std::vector<unsigned char>> newest;
    try {
        history = std::make_unique<History>(options.history);
        newest = history->newest(device->DataId());
    } catch (const std::exception& e) {
        throw Failure{kBadHistory, e.what()};
    }
    HistoryWriter writer(*history, report);

    report("loaded plug-in " + options.plugin + "; polling " + (meter_line.simulated ? "the simulated meter on " : "") +
           line_settings.device + "; history " + options.history);

    Poller poller(*modbus, *line, order);
    WorkstationServices services(poller, writer);
    const ServicesRegistration registration(device.get(), services);

    bool restored = false;
    if (newest) {
        restored = services.restore(*device, *newest) != 0;
        report(std::string(restored ? "restored" : "could not restore") + " the newest record of data id " +
               std::to_string(device->DataId()) + " from " + options.history);
    }

    // Old rows go after the first round and after each hour of polling.
    auto next_prune = Clock::now();
    const auto prune = [&] {
        if (!options.keep_days || Clock::now() < next_prune) return;
        next_prune = Clock::now() + std::chrono::hours(1);
        try {
            const auto cutoff = boost::posix_time::second_clock::local_time() - boost::gregorian::days(*options.keep_days);
            const long removed = history->prune(device->DataId(), cutoff);
            if (removed > 0) report("deleted " + std::to_string(removed) + " rows older than " + std::to_string(*options.keep_days) + " days");
        } catch (const std::exception& e) {
            report(e.what());
        }
    };

    long completed = 0;
    long polls = 0;
    long failed_in_a_row = 0;
    bool reader_gone = false;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.interval_s));
    auto next = Clock::now();
    while (!g_stop && (!options.rounds || completed < *options.rounds)) {
        if (output.reader_gone()) break;
        ++polls;
        const RoundResult result = poller.poll_round(&g_stop);
        writer.flush();
        prune();
        if (result.completed) {
            ++completed;
            failed_in_a_row = 0;
            restored = false;
            switch (show_round(options, *device, output)) {
            case JsonOutput::Result::Written: break;
            case JsonOutput::Result::Closed: reader_gone = true; break;  // the reader has had enough
            case JsonOutput::Result::Failed:
                throw Failure{kBadOutput, "cannot write to standard output: " + output.error()};
            }
            if (reader_gone) break;
            report("round " + std::to_string(polls) + " complete, data " + data_status(*device));
            if (options.once) break;
        } else if (g_stop) {
            break;
        } else {
            ++failed_in_a_row;
            const std::string causes = likely_causes(line->fault(), result.error, line_settings);
            if (options.once || (options.max_failures && failed_in_a_row >= *options.max_failures)) {
                writer.finish();  // earlier rounds that wait for the history
                throw Failure{kMeterFailed, options.once ? "the round failed: " + causes
                                                         : "gave up after " + std::to_string(failed_in_a_row) +
                                                               " failed rounds in a row: " + causes};
            }
            report("round " + std::to_string(polls) + " failed (" +
                   (result.error.empty() ? "incomplete" : result.error) + "), data " +
                   (restored ? "restored, no round yet" : data_status(*device)));
        }
        if (options.rounds && completed >= *options.rounds) break;
        if (line->lost()) {
            std::optional<long> failures_left;
            if (options.max_failures) failures_left = *options.max_failures - failed_in_a_row;
            if (!reconnect(*line, result.error, failures_left)) break;
            next = Clock::now();
            continue;
        }
        next = next_start(next + period, period, Clock::now());
        sleep_until(next, &output);
    }
    // Records that still wait for the history get one more, patient try.
    if (const std::size_t unstored = writer.finish(); unstored > 0) {
        throw Failure{kBadHistory, std::to_string(unstored) + " completed rounds could not be stored in history " +
                                       options.history};
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    try {
        options = parse_options(argc, argv);
    } catch (const UsageError& e) {
        report(e.what());
        return kBadOption;
    } catch (const std::exception& e) {
        report(e.what());
        return kInternal;
    }
    if (options.help) {
        std::cout << usage_text();
        return kOk;
    }
    if (options.version) {
        std::cout << "pondrel-host " PONDREL_VERSION "\n";
        return kOk;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe shows as EPIPE from write.
    signal(SIGPIPE, SIG_IGN);
    try {
        JsonOutput output;
        return run(options, output);
    } catch (const Failure& failure) {
        report(failure.message);
        return failure.code;
    } catch (const std::bad_alloc&) {
        report("out of memory");
        return kInternal;
    } catch (const std::exception& e) {
        report(e.what());
        return kInternal;
    } catch (...) {
        report("an unknown failure");
        return kInternal;
    }
}
