// pondrel-host: runs a meter plug-in against a real meter on a serial line or
// against the built-in simulated meter, printing the driver's JSON snapshot
// after every completed round and keeping every record in an SQLite history.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "history.h"
#include "host_services.h"
#include "kov_controller.h"
#include "options.h"
#include "simulated_meter.h"
#include "plugin_module.h"
#include "poller.h"
#include "rtu_master.h"
#include "sp_modbus.h"
#include "workstation_services.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

// A failure that ends the program with `code` and a one-line message.
struct Failure {
    int code;
    std::string message;
};

enum ExitCode { kOk = 0, kBadOption = 2, kBadPlugin = 3, kBadSetting = 4, kBadDevice = 5, kBadHistory = 6 };

struct DeviceSetting {
    Json::Value json;
    std::uint32_t data_id = 1;
};

DeviceSetting read_setting(const std::string& path) {
    DeviceSetting setting;
    setting.json = Json::Value(Json::objectValue);
    setting.json["data_id"] = 1;
    if (path.empty()) return setting;
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Failure{kBadSetting, "cannot read setting file " + path};
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    if (!Json::parseFromStream(builder, file, &setting.json, &errors)) {
        std::string first_line = errors.substr(0, errors.find('\n'));
        throw Failure{kBadSetting, "invalid setting file " + path + ": " + first_line};
    }
    if (!setting.json.isObject()) throw Failure{kBadSetting, "setting file " + path + " is not a JSON object"};
    const Json::Value& id = setting.json["data_id"];
    if (!id.isNull()) {
        if (!id.isUInt()) {
            throw Failure{kBadSetting, "setting file " + path + ": data_id must be a whole number from 0 to 4294967295"};
        }
        setting.data_id = id.asUInt();
    }
    return setting;
}

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

void sleep_until(std::chrono::steady_clock::time_point when) {
    while (!g_stop && std::chrono::steady_clock::now() < when) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(50), when - std::chrono::steady_clock::now()));
    }
}

int run(const HostOptions& options) {
    const DeviceSetting setting = read_setting(options.setting);

    std::unique_ptr<PluginModule> plugin;
    try {
        plugin = std::make_unique<PluginModule>(options.plugin);
    } catch (const std::exception& e) {
        throw Failure{kBadPlugin, e.what()};
    }
    // Deleted before the plug-in is unloaded.
    std::unique_ptr<KovSPDevice> device(plugin->create());
    auto* modbus = dynamic_cast<SPModbus*>(device.get());
    if (modbus == nullptr) throw Failure{kBadPlugin, "plug-in " + options.plugin + " made a device that is not a Modbus device"};

    const auto controller = std::make_shared<KovController>();
    try {
        device->Init(controller, setting.data_id, setting.json);
    } catch (const std::exception& e) {
        throw Failure{kBadSetting, "the device refused setting file " + options.setting + ": " + e.what()};
    }

    std::unique_ptr<SimulatedMeter> simulated;
    SerialSettings line_settings = options.line;
    if (line_settings.device.empty()) {
        try {
            MeterServerOptions meter;
            meter.order = options.word_order;
            simulated = std::make_unique<SimulatedMeter>(meter);
        } catch (const std::exception& e) {
            throw Failure{kBadDevice, std::string("cannot start the simulated meter: ") + e.what()};
        }
        line_settings.device = simulated->device_path();
    }
    std::unique_ptr<RtuMaster> line;
    try {
        line = std::make_unique<RtuMaster>(line_settings);
    } catch (const std::exception& e) {
        throw Failure{kBadDevice, e.what()};
    }

    std::unique_ptr<History> history;
    const std::filesystem::path folder = std::filesystem::path(options.history).parent_path();
    std::error_code folder_error;
    if (!folder.empty()) std::filesystem::create_directories(folder, folder_error);
    if (folder_error) {
        throw Failure{kBadHistory, "cannot create the folder of history " + options.history + ": " +
                                       folder_error.message()};
    }
    try {
        history = std::make_unique<History>(options.history);
    } catch (const std::exception& e) {
        throw Failure{kBadHistory, e.what()};
    }

    std::cerr << "pondrel-host: loaded plug-in " << options.plugin << "; polling "
              << (simulated ? "the simulated meter on " : "") << line_settings.device << "; history "
              << options.history << "\n";

    Poller poller(*modbus, *line, options.word_order);
    WorkstationServices services(poller, *history);
    const ServicesRegistration registration(device.get(), services);

    if (const auto image = history->newest(device->DataId())) {
        const int taken = services.restore(*device, *image);
        std::cerr << "pondrel-host: " << (taken ? "restored" : "could not restore")
                  << " the newest record of data id " << device->DataId() << " from " << options.history << "\n";
    }

    long completed = 0;
    long polls = 0;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.interval_s));
    auto next = std::chrono::steady_clock::now();
    while (!g_stop && (!options.rounds || completed < *options.rounds)) {
        next += period;
        ++polls;
        RoundResult result;
        try {
            result = poller.poll_round();
        } catch (const std::exception& e) {
            throw Failure{kBadHistory, e.what()};
        }
        if (result.completed) {
            ++completed;
            const std::string text = snapshot_text(*device);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
            std::cerr << "pondrel-host: round " << polls << " complete, data " << data_status(*device) << "\n";
        } else {
            std::cerr << "pondrel-host: round " << polls << " failed ("
                      << (result.error.empty() ? "incomplete" : result.error) << "), data "
                      << data_status(*device) << "\n";
        }
        sleep_until(next);
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    try {
        options = parse_options(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "pondrel-host: " << e.what() << "\n";
        return kBadOption;
    }
    if (options.help) {
        std::cout << usage_text();
        return kOk;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        return run(options);
    } catch (const Failure& failure) {
        std::cerr << "pondrel-host: " << failure.message << "\n";
        return failure.code;
    }
}
