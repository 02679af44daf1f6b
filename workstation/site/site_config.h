// A site's configuration: the lines (serial, Modbus TCP, RTU over TCP) and
// the meters on them, the plug-in and the history, read from a TOML file.
// Every error of the file is found before anything starts and reported as a
// whole; the single-meter command line is the same configuration with one
// line and one meter. Pure but for reading the file; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "modbus_master.h"
#include "round_journal.h"
#include "word_order.h"

namespace pondrel {

struct LineConfig {
    std::string name;
    SerialSettings settings;  // settings.slave is unused: the slave is each meter's
    bool operator==(const LineConfig& other) const;
};

struct MeterConfig {
    std::string name;
    std::string line;                    // a line's name
    int slave = 1;
    std::uint32_t data_id = 1;
    WordOrder word_order = WordOrder::ABCD;
    bool word_order_auto = false;
    double interval_s = 1.0;             // 0: as often as the line allows
    double retry_max_s = 30.0;           // the longest wait between tries of a failing meter
    std::optional<double> stale_after_s;  // given: when it counts as stale (see stale_after_s())
    Json::Value setting{Json::objectValue};  // handed to the driver's InitSetting
    std::string setting_source;          // where the setting came from, for messages
    std::string series;                  // what its history rows name it by; empty: its name
    // Its circuits' names as given: at most 18, "" where none is given. Not
    // part of ==: a rename reaches the outputs without restarting the meter.
    std::vector<std::string> circuit_names;
    std::string tariff;  // its tariff's name; "": the first [[tariff]]. Not part of == either.
    bool operator==(const MeterConfig& other) const;
};

// Where stored rounds are written to InfluxDB: version 1 (`database`,
// optional `username` with `password_file`) or version 2 (`org`, `bucket`,
// `token_file`), over http or https (`ca_file`).
struct InfluxConfig {
    std::string url;   // as written
    bool tls = false;
    std::string host;
    int port = 8086;
    std::string path;  // a prefix before /write, "" or "/..."
    int version = 1;
    std::string database;
    std::optional<std::string> username;
    std::optional<std::string> password_file;
    std::string password;  // read from password_file
    std::string org;
    std::string bucket;
    std::optional<std::string> token_file;
    std::string token;     // read from token_file
    std::optional<std::string> ca_file;
    long max_pending = 10000000;
    bool operator==(const InfluxConfig& other) const;
    bool operator!=(const InfluxConfig& other) const { return !(*this == other); }
};

// A group of circuits reported together: `circuits` as written ("m1:1-6"),
// and read: each meter's name with a circuit (1-18), in the file's order.
struct GroupConfig {
    std::string name;
    std::vector<std::string> circuits_text;
    std::vector<std::pair<std::string, int>> circuits;
    std::string tariff;  // "": the first [[tariff]]
};

// A price of energy, in force from a local day (a later `from` of the same
// name takes over), with prices by time of day, and a price of a month's peak.
struct TariffConfig {
    struct Window {
        std::string days;  // as written: "Mon-Fri", "Sat,Sun"
        std::string from;  // "07:00"
        std::string to;    // "21:00"
        unsigned day_mask = 0x7f;
        int from_minute = 0;
        int to_minute = 0;
        double price_per_kwh = 0;
    };
    std::string name;
    std::string currency;
    double price_per_kwh = 0;
    std::string from;  // "YYYY-MM-DD", "": always
    std::vector<Window> windows;
    std::optional<double> demand_price_per_kw;
};

// Where Prometheus scrapes /metrics: "HOST:PORT".
struct PrometheusConfig {
    std::string listen;
    bool operator==(const PrometheusConfig& other) const { return listen == other.listen; }
    bool operator!=(const PrometheusConfig& other) const { return !(*this == other); }
};

// Where the page and its API are served: "HOST:PORT" (127.0.0.1 when only
// ":PORT" or "PORT" is given).
struct WebConfig {
    std::string listen;
    std::vector<std::string> hosts;  // host names it also answers for (see HttpServer)
    std::string web_config_file;     // TLS, logins and headers of every address served; "": none
    bool operator==(const WebConfig& other) const {
        return listen == other.listen && hosts == other.hosts && web_config_file == other.web_config_file;
    }
    bool operator!=(const WebConfig& other) const { return !(*this == other); }
};

// "HOST:PORT" for `[web] listen` or --web: the host defaults to 127.0.0.1.
// Throws std::invalid_argument as host_and_port does.
std::string web_listen(const std::string& text);

// The MQTT broker completed rounds are published to (and Home Assistant's
// discovery); the history is its outbox.
struct MqttConfig {
    std::string broker;        // as written: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string client_id;     // default: pondrel-<host name>
    std::optional<std::string> username;
    std::optional<std::string> password_file;
    std::string password;      // the password file's first line
    std::optional<std::string> ca_file;
    std::string topic_prefix = "pondrel";
    std::string discovery_prefix = "homeassistant";  // "": no discovery
    int qos = 1;
    int keepalive_s = 60;
    long max_pending = 1000000;  // rounds waiting for the broker that retention keeps
    double publish_interval_s = 0;  // a meter's state at most this often (by round time); 0: every round
    bool operator==(const MqttConfig& other) const;
    bool operator!=(const MqttConfig& other) const { return !(*this == other); }
};

// What a site holds: names of lines and meters of at most this many bytes (a
// meter's name goes with each of its rounds into the history's journal);
// at most this many meters (each a device of the host services, which hold
// 4096: the rest is room for the meters a reload starts); a meter's setting
// nested at most this deep (a JSON reader reads it back).
constexpr std::size_t kMaxNameBytes = kMaxMeterBytes;
constexpr std::size_t kMaxMeters = 2048;
constexpr std::size_t kMaxSettingNesting = 64;

struct SiteConfig {
    std::optional<std::string> log_level;  // error, warning, info or debug
    std::optional<std::string> plugin;
    std::optional<std::string> history_file;
    std::optional<long> keep_days;
    // How long minute totals are kept: given, or the larger of keep_days and
    // 35 (kMinutesDaysAtLeast); for ever while the rows are.
    std::optional<long> keep_minutes_days;
    // How long hourly statistics are kept; 0: for ever.
    long keep_statistics_days = 0;
    long journal_reserve_mb = 4;  // space the journal holds ready for rounds on a full disk
    std::vector<LineConfig> lines;
    std::vector<MeterConfig> meters;
    std::optional<PrometheusConfig> prometheus;
    std::optional<MqttConfig> mqtt;
    std::optional<WebConfig> web;
    std::optional<InfluxConfig> influxdb;
    std::string time_zone;  // [site] time_zone: an IANA name; "": the machine's
    std::vector<GroupConfig> groups;
    std::vector<TariffConfig> tariffs;

    const LineConfig* line(const std::string& name) const;
};

// The one rule of when a meter counts as stale: no round completed within
// twice its interval plus its line's response timeout plus a second, unless
// its [[meter]] says `stale_after` (seconds).
double stale_after_s(const MeterConfig& meter, const LineConfig& line);

constexpr long kMinutesDaysAtLeast = 35;
// The days minute totals are kept (see SiteConfig::keep_minutes_days), or none: for ever.
std::optional<long> minutes_days(const SiteConfig& config);

// Whether anything of the history is ever deleted.
inline bool prunes(const SiteConfig& config) { return config.keep_days || config.keep_statistics_days > 0; }

// The 18 names of a meter's circuits: each as given, else "circuit N".
std::vector<std::string> circuit_names_of(const MeterConfig& meter);

// Every error found in a file, each "FILE:LINE: message", in file order.
struct ConfigErrors : std::runtime_error {
    explicit ConfigErrors(std::vector<std::string> lines);
    std::vector<std::string> lines;
};

// Reads and checks `path`. Throws ConfigErrors listing every error: a file
// that cannot be read or parsed, an unknown key or section, a wrong type, a
// missing required key, a value out of range, a name or data id used twice,
// a meter naming a missing line, two meters with one slave address on one
// line, a line with no transport or two, a setting whose data_id disagrees,
// a broker that is no mqtt:// or mqtts:// address, a password or CA file
// that cannot be read, two meters with one MQTT topic level, no meter at all,
// and what a site cannot hold (the limits above; names with control
// characters).
SiteConfig read_site_config(const std::string& path);

// A meter's name as one MQTT topic level: characters other than letters,
// digits, '_' and '-' become '_'.
std::string mqtt_topic_level(const std::string& meter_name);

// "HOST:PORT" (a numeric IPv6 host in brackets) split; throws
// std::invalid_argument saying what is wrong. Without `need_port`, a missing
// port is `default_port`.
std::pair<std::string, int> host_and_port(const std::string& text, bool need_port, int default_port = 0);

// The configuration as TOML with every default filled in.
std::string site_config_toml(const SiteConfig& config);

}  // namespace pondrel
