#include "modes.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "commissioning.h"
#include "device_status.h"
#include "history.h"
#include "history_writer.h"
#include "host_services.h"
#include "kov_controller.h"
#include "meter_line.h"
#include "plugin_module.h"
#include "poller.h"
#include "program_main.h"
#include "round_schedule.h"
#include "round_table.h"
#include "setting_file.h"
#include "sp_modbus.h"
#include "status_line.h"
#include "stop_signal.h"
#include "workstation_services.h"

namespace pondrel {

namespace {

// Sleeps until `when`, a stop, or (when `output` is given) the reader of
// standard output going away, whichever comes first.
void sleep_until(Clock::time_point when, const JsonOutput* output) {
    while (!stop_requested() && Clock::now() < when) {
        if (output != nullptr && output->reader_gone()) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), when - Clock::now()));
    }
}

// One round's line on standard output: the snapshot text, or the table.
JsonOutput::Result show_round(const HostOptions& options, KovSPDevice& device, JsonOutput& output) {
    const std::string text = snapshot_text(device);
    if (options.format == OutputFormat::Json) return output.write(text);
    // On a terminal the table is drawn again in place; elsewhere appended.
    const std::string clear = output.is_terminal() ? "\x1b[H\x1b[J" : "";
    return output.write(clear + round_table(text) + (output.is_terminal() ? "" : "\n"));
}

}  // namespace

int poll_meter(const HostOptions& options, JsonOutput& output) {
    DeviceSetting setting;
    try {
        setting = read_setting(options.setting);
    } catch (const SettingError& e) {
        throw Failure(kExitBadSetting, e.what());
    }

    std::unique_ptr<PluginModule> plugin;
    try {
        plugin = std::make_unique<PluginModule>(options.plugin);
    } catch (const std::exception& e) {
        throw Failure(kExitBadPlugin, e.what());
    }
    // Deleted before the plug-in is unloaded.
    std::unique_ptr<KovSPDevice> device;
    try {
        device.reset(plugin->create());
    } catch (const std::exception& e) {
        throw Failure(kExitBadPlugin, e.what());
    }
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr) throw Failure(kExitBadPlugin, "plug-in " + options.plugin + " made a device that is not a Modbus device");

    const auto controller = std::make_shared<KovController>();
    try {
        device->Init(controller, setting.data_id, setting.json);
    } catch (const std::exception& e) {
        throw Failure(kExitBadSetting, "the device refused setting file " + options.setting + ": " + e.what());
    }

    const MeterLine meter_line = open_meter_line(options);
    const SerialSettings& line_settings = meter_line.settings;
    ModbusMaster* const line = meter_line.master.get();
    const WordOrder order = options.word_order_auto ? detect_word_order(*line, line_settings) : options.word_order;

    std::unique_ptr<History> history;
    std::optional<std::vector<unsigned char>> newest;
    try {
        history = std::make_unique<History>(options.history);
        newest = history->newest(device->DataId());
    } catch (const std::exception& e) {
        throw Failure(kExitBadHistory, e.what());
    }
    HistoryWriter writer(*history, status_line);

    status_line("loaded plug-in " + options.plugin + "; polling " + (meter_line.simulated ? "the simulated meter on " : "") +
           line_settings.device + "; history " + options.history);

    Poller poller(*modbus, *line, order);
    WorkstationServices services(poller, writer);
    const ServicesRegistration registration(device.get(), services);

    bool restored = false;
    if (newest) {
        restored = services.restore(*device, *newest) != 0;
        status_line(std::string(restored ? "restored" : "could not restore") + " the newest record of data id " +
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
            if (removed > 0) status_line("deleted " + std::to_string(removed) + " rows older than " + std::to_string(*options.keep_days) + " days");
        } catch (const std::exception& e) {
            status_line(e.what());
        }
    };

    long completed = 0;
    long polls = 0;
    long failed_in_a_row = 0;
    bool reader_gone = false;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.interval_s));
    auto next = Clock::now();
    while (!stop_requested() && (!options.rounds || completed < *options.rounds)) {
        if (output.reader_gone()) break;
        ++polls;
        const RoundResult result = poller.poll_round(&stop_requested());
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
                throw Failure(kExitBadOutput, "cannot write to standard output: " + output.error());
            }
            if (reader_gone) break;
            status_line("round " + std::to_string(polls) + " complete, data " + data_status(*device));
            if (options.once) break;
        } else if (stop_requested()) {
            break;
        } else {
            ++failed_in_a_row;
            const std::string causes = likely_causes(line->fault(), result.error, line_settings);
            if (options.once || (options.max_failures && failed_in_a_row >= *options.max_failures)) {
                writer.finish();  // earlier rounds that wait for the history
                throw Failure(kExitMeterFailed, options.once ? "the round failed: " + causes
                                                         : "gave up after " + std::to_string(failed_in_a_row) +
                                                               " failed rounds in a row: " + causes);
            }
            status_line("round " + std::to_string(polls) + " failed (" +
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
        throw Failure(kExitBadHistory, std::to_string(unstored) + " completed rounds could not be stored in history " +
                                       options.history);
    }
    return kExitOk;
}

}  // namespace pondrel
