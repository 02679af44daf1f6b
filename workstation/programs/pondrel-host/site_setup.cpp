#include "site_setup.h"

#include <iostream>

#include "program_main.h"
#include "setting_file.h"

namespace pondrel {

SiteConfig site_from_file(const HostOptions& options) {
    SiteConfig config;
    try {
        config = read_site_config(options.config);
    } catch (const ConfigErrors& errors) {
        for (const std::string& line : errors.lines) std::cerr << line << "\n";
        throw Failure(kExitBadOption, std::to_string(errors.lines.size()) + " error" +
                                          (errors.lines.size() == 1 ? "" : "s") + " in " + options.config);
    }
    if (options.plugin_given || !config.plugin) config.plugin = options.plugin;
    if (options.history_given || !config.history_file) config.history_file = options.history;
    if (options.keep_days) config.keep_days = options.keep_days;
    if (options.metrics) config.prometheus = PrometheusConfig{*options.metrics};
    // --web moves the page; the file's other [web] keys still hold.
    if (options.web) {
        config.web = WebConfig{*options.web, config.web ? config.web->hosts : std::vector<std::string>{},
                               config.web ? config.web->web_config_file : std::string()};
    }
    if (options.log_level) config.log_level = options.log_level;
    return config;
}

SiteConfig site_from_options(const HostOptions& options) {
    DeviceSetting setting;
    try {
        setting = read_setting(options.setting);
    } catch (const SettingError& e) {
        throw Failure(kExitBadSetting, e.what());
    }
    SiteConfig config;
    config.plugin = options.plugin;
    config.history_file = options.history;
    config.keep_days = options.keep_days;
    if (options.metrics) config.prometheus = PrometheusConfig{*options.metrics};
    if (options.web) config.web = WebConfig{*options.web, {}, ""};
    config.log_level = options.log_level;
    LineConfig line;
    line.name = "line";
    line.settings = options.line;
    config.lines.push_back(line);
    MeterConfig meter;
    meter.name = "meter";
    meter.line = line.name;
    meter.slave = options.line.slave;
    meter.data_id = setting.data_id;
    if (options.data_id) {
        if (!options.setting.empty() && setting.json.isMember("data_id") && setting.data_id != *options.data_id) {
            throw Failure(kExitBadOption, "--data-id " + std::to_string(*options.data_id) + " and setting file " +
                                              options.setting + "'s data_id " + std::to_string(setting.data_id) +
                                              " disagree");
        }
        meter.data_id = *options.data_id;
        setting.json["data_id"] = static_cast<Json::UInt>(*options.data_id);
    }
    meter.word_order = options.word_order;
    meter.word_order_auto = options.word_order_auto;
    meter.interval_s = options.interval_s;
    meter.retry_max_s = options.interval_s;  // a failing meter is retried at its interval, as always
    meter.setting = setting.json;
    meter.setting_source = "setting file " + options.setting;
    // A lone meter's rows say where it was polled, so that two meters polled
    // one after the other into one history stay two series.
    meter.series = (options.line.device.empty() ? std::string("simulated meter") : options.line.device) + " slave " +
                   std::to_string(options.line.slave);
    config.meters.push_back(meter);
    return config;
}

}  // namespace pondrel
