// The configuration written back as TOML, every default filled in.
#include <sstream>

#include <toml++/toml.h>

#include "site_config.h"

namespace pondrel {

namespace {

// A JSON setting as TOML: objects as inline tables; TOML has no null, so a
// null is left out.
void insert_json(toml::table& table, const std::string& key, const Json::Value& value);

toml::array toml_array_of(const Json::Value& list) {
    toml::array array;
    for (const Json::Value& value : list) {
        toml::table holder;
        insert_json(holder, "v", value);
        if (toml::node* node = holder.get("v")) array.push_back(*node);
    }
    return array;
}

void insert_json(toml::table& table, const std::string& key, const Json::Value& value) {
    switch (value.type()) {
    case Json::objectValue: {
        toml::table inner;
        for (const std::string& name : value.getMemberNames()) insert_json(inner, name, value[name]);
        inner.is_inline(true);
        table.insert(key, std::move(inner));
        break;
    }
    case Json::arrayValue: table.insert(key, toml_array_of(value)); break;
    case Json::stringValue: table.insert(key, value.asString()); break;
    case Json::booleanValue: table.insert(key, value.asBool()); break;
    case Json::intValue:
    case Json::uintValue: table.insert(key, static_cast<std::int64_t>(value.asInt64())); break;
    case Json::realValue: table.insert(key, value.asDouble()); break;
    case Json::nullValue: break;  // TOML has no null
    }
}

}  // namespace

std::string site_config_toml(const SiteConfig& config) {
    toml::table document;
    if (config.log_level) document.insert("log_level", *config.log_level);
    if (config.plugin) document.insert("plugin", *config.plugin);
    if (config.history_file || config.keep_days) {
        toml::table history;
        if (config.history_file) history.insert("file", *config.history_file);
        if (config.keep_days) history.insert("keep_days", static_cast<std::int64_t>(*config.keep_days));
        if (config.keep_minutes_days) {
            history.insert("keep_minutes_days", static_cast<std::int64_t>(*config.keep_minutes_days));
        }
        if (config.keep_statistics_days > 0) {
            history.insert("keep_statistics_days", static_cast<std::int64_t>(config.keep_statistics_days));
        }
        history.insert("journal_reserve_MB", static_cast<std::int64_t>(config.journal_reserve_mb));
        document.insert("history", std::move(history));
    }
    if (!config.time_zone.empty()) document.insert("site", toml::table{{"time_zone", config.time_zone}});
    if (config.prometheus) document.insert("prometheus", toml::table{{"listen", config.prometheus->listen}});
    if (config.web) {
        toml::table web{{"listen", config.web->listen}};
        if (!config.web->web_config_file.empty()) web.insert("web_config_file", config.web->web_config_file);
        if (!config.web->hosts.empty()) {
            toml::array hosts;
            for (const std::string& host : config.web->hosts) hosts.push_back(host);
            web.insert("hosts", std::move(hosts));
        }
        document.insert("web", std::move(web));
    }
    if (config.mqtt) {
        const MqttConfig& m = *config.mqtt;
        toml::table mqtt{{"broker", m.broker},
                         {"client_id", m.client_id},
                         {"topic_prefix", m.topic_prefix},
                         {"discovery_prefix", m.discovery_prefix},
                         {"qos", static_cast<std::int64_t>(m.qos)},
                         {"keepalive", static_cast<std::int64_t>(m.keepalive_s)},
                         {"max_pending", static_cast<std::int64_t>(m.max_pending)},
                         {"publish_interval", m.publish_interval_s}};
        if (m.username) mqtt.insert("username", *m.username);
        if (m.password_file) mqtt.insert("password_file", *m.password_file);  // never the password
        if (m.ca_file) mqtt.insert("ca_file", *m.ca_file);
        document.insert("mqtt", std::move(mqtt));
    }
    if (config.influxdb) {
        const InfluxConfig& i = *config.influxdb;
        toml::table influx{{"url", i.url}, {"version", static_cast<std::int64_t>(i.version)},
                           {"max_pending", static_cast<std::int64_t>(i.max_pending)}};
        if (i.version == 1) influx.insert("database", i.database);
        if (i.username) influx.insert("username", *i.username);
        if (i.password_file) influx.insert("password_file", *i.password_file);  // never the password
        if (i.version == 2) {
            influx.insert("org", i.org);
            influx.insert("bucket", i.bucket);
        }
        if (i.token_file) influx.insert("token_file", *i.token_file);
        if (i.ca_file) influx.insert("ca_file", *i.ca_file);
        document.insert("influxdb", std::move(influx));
    }
    toml::array lines;
    for (const LineConfig& line : config.lines) {
        const SerialSettings& s = line.settings;
        toml::table t;
        t.insert("name", line.name);
        const char* transport = s.transport == Transport::Serial ? "device"
                                : s.transport == Transport::Tcp  ? "tcp"
                                                                 : "rtu_over_tcp";
        t.insert(transport, s.device);
        t.insert("baud", static_cast<std::int64_t>(s.baud));
        t.insert("parity", std::string(1, s.parity));
        t.insert("data_bits", static_cast<std::int64_t>(s.data_bits));
        t.insert("stop_bits", static_cast<std::int64_t>(s.stop_bits));
        t.insert("timeout_ms", static_cast<std::int64_t>(s.timeout_ms));
        t.insert("connect_pause_ms", static_cast<std::int64_t>(s.connect_pause_ms));
        t.insert("request_pause_ms", static_cast<std::int64_t>(s.request_pause_ms));
        lines.push_back(std::move(t));
    }
    if (!lines.empty()) document.insert("line", std::move(lines));
    toml::array meters;
    for (const MeterConfig& meter : config.meters) {
        toml::table t;
        t.insert("name", meter.name);
        t.insert("line", meter.line);
        t.insert("slave", static_cast<std::int64_t>(meter.slave));
        t.insert("data_id", static_cast<std::int64_t>(meter.data_id));
        t.insert("word_order", meter.word_order_auto ? std::string("auto") : std::string(word_order_name(meter.word_order)));
        t.insert("interval", meter.interval_s);
        t.insert("retry_max", meter.retry_max_s);
        if (meter.stale_after_s) t.insert("stale_after", *meter.stale_after_s);
        if (!meter.circuit_names.empty()) {
            toml::array names;
            for (const std::string& name : meter.circuit_names) names.push_back(name);
            t.insert("circuits", std::move(names));
        }
        if (!meter.tariff.empty()) t.insert("tariff", meter.tariff);
        insert_json(t, "setting", meter.setting);
        meters.push_back(std::move(t));
    }
    if (!meters.empty()) document.insert("meter", std::move(meters));
    toml::array groups;
    for (const GroupConfig& group : config.groups) {
        toml::array circuits;
        for (const std::string& text : group.circuits_text) circuits.push_back(text);
        toml::table t{{"name", group.name}, {"circuits", std::move(circuits)}};
        if (!group.tariff.empty()) t.insert("tariff", group.tariff);
        groups.push_back(std::move(t));
    }
    if (!groups.empty()) document.insert("group", std::move(groups));
    toml::array tariffs;
    for (const TariffConfig& tariff : config.tariffs) {
        toml::table t{{"name", tariff.name}, {"currency", tariff.currency}, {"price_per_kWh", tariff.price_per_kwh}};
        if (!tariff.from.empty()) t.insert("from", tariff.from);
        if (tariff.demand_price_per_kw) t.insert("demand_price_per_kW", *tariff.demand_price_per_kw);
        toml::array windows;
        for (const TariffConfig::Window& w : tariff.windows) {
            toml::table window{{"from", w.from}, {"to", w.to}, {"price_per_kWh", w.price_per_kwh}};
            if (!w.days.empty()) window.insert("days", w.days);
            windows.push_back(std::move(window));
        }
        if (!windows.empty()) t.insert("window", std::move(windows));
        tariffs.push_back(std::move(t));
    }
    if (!tariffs.empty()) document.insert("tariff", std::move(tariffs));
    std::ostringstream text;
    text << document << "\n";
    return text.str();
}

}  // namespace pondrel
