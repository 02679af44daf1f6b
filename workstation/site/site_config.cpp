#include "site_config.h"

#include "site_calendar.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include <toml++/toml.h>

#include "endpoint.h"
#include "pondrel_meter.h"

namespace pondrel {

namespace {

constexpr long kMaxConfigBytes = 1L << 20;

// Collects the errors of one file, each with its line (0: of the whole file).
class Errors {
public:
    explicit Errors(std::string path) : path_(std::move(path)) {}
    void add(const toml::source_region& where, const std::string& message) { add(where.begin.line, message); }
    void add(std::size_t line, const std::string& message) { found_.emplace_back(line, message); }
    bool any() const { return !found_.empty(); }
    [[noreturn]] void raise() {
        std::stable_sort(found_.begin(), found_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string> lines;
        for (const auto& [line, message] : found_) {
            lines.push_back(path_ + (line == 0 ? "" : ":" + std::to_string(line)) + ": " + message);
        }
        throw ConfigErrors(std::move(lines));
    }

private:
    std::string path_;
    std::vector<std::pair<std::size_t, std::string>> found_;
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The keys of one table, read and checked once each; what is left unread is unknown.
class Table {
public:
    Table(const toml::table& table, std::string what, Errors& errors)
        : table_(table), what_(std::move(what)), errors_(errors) {}

    ~Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    const toml::node* node(const std::string& key) {
        known_.insert(key);
        return table_.get(key);
    }
    std::size_t line() const { return table_.source().begin.line; }
    std::size_t line_of(const std::string& key) const {
        const toml::node* n = table_.get(key);
        return n != nullptr ? n->source().begin.line : line();
    }

    std::optional<std::string> text(const std::string& key, bool required = false) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            if (required) errors_.add(line(), what_ + " has no " + quoted(key));
            return std::nullopt;
        }
        if (!n->is_string()) {
            errors_.add(n->source(), quoted(key) + " must be a text in quotes");
            return std::nullopt;
        }
        const std::string value = n->as_string()->get();
        if (value.empty()) {
            errors_.add(n->source(), quoted(key) + " must not be empty");
            return std::nullopt;
        }
        return value;
    }
    // A name of the site's (a line's, a meter's): a text of 1 to
    // kMaxNameBytes bytes without control characters, as it is stored,
    // published and printed.
    std::optional<std::string> name(const std::string& key) {
        const auto value = text(key, true);
        if (!value) return std::nullopt;
        if (const std::string fault = name_fault(*value); !fault.empty()) {
            errors_.add(node(key)->source().begin.line, quoted(key) + fault);
            return std::nullopt;
        }
        return value;
    }
    // Why `value` cannot be a name (" must ..."), or "".
    static std::string name_fault(const std::string& value) {
        if (value.size() > kMaxNameBytes) {
            return " must be at most " + std::to_string(kMaxNameBytes) + " bytes, not " + std::to_string(value.size());
        }
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
            return " must not hold control characters (a line feed, a tab, a NUL...)";
        }
        return "";
    }
    // A list of at most `most` names, each "" or a name as name() takes it.
    std::optional<std::vector<std::string>> names(const std::string& key, std::size_t most) {
        const toml::node* n = node(key);
        if (n == nullptr) return std::nullopt;
        const toml::array* list = n->as_array();
        if (list == nullptr) {
            errors_.add(n->source(), quoted(key) + " must be a list of names in quotes, such as [\"Kitchen\", \"Oven\"]");
            return std::nullopt;
        }
        if (list->size() > most) {
            errors_.add(n->source(), quoted(key) + " names at most " + std::to_string(most) + ", not " +
                                         std::to_string(list->size()));
            return std::nullopt;
        }
        std::vector<std::string> found;
        bool sound = true;
        for (std::size_t i = 0; i < list->size(); ++i) {
            const toml::node& entry = *list->get(i);
            const std::string which = quoted(key) + " entry " + std::to_string(i + 1);
            if (!entry.is_string()) {
                errors_.add(entry.source(), which + " must be a name in quotes");
                sound = false;
                continue;
            }
            const std::string value = entry.as_string()->get();
            if (const std::string fault = name_fault(value); !fault.empty()) {
                errors_.add(entry.source(), which + fault);
                sound = false;
            }
            found.push_back(value);
        }
        if (!sound) return std::nullopt;
        return found;
    }

    std::optional<long long> whole(const std::string& key, long long low, long long high) {
        const toml::node* n = node(key);
        if (n == nullptr) return std::nullopt;
        if (!n->is_integer()) {
            errors_.add(n->source(), quoted(key) + " must be a whole number");
            return std::nullopt;
        }
        const long long value = n->as_integer()->get();
        if (value < low || value > high) {
            errors_.add(n->source(), quoted(key) + " must be from " + std::to_string(low) + " to " +
                                         std::to_string(high) + ", not " + std::to_string(value));
            return std::nullopt;
        }
        return value;
    }

    std::optional<double> seconds(const std::string& key, double low, double high) {
        const toml::node* n = node(key);
        if (n == nullptr) return std::nullopt;
        double value = 0;
        if (n->is_integer()) {
            value = static_cast<double>(n->as_integer()->get());
        } else if (n->is_floating_point()) {
            value = n->as_floating_point()->get();
        } else {
            errors_.add(n->source(), quoted(key) + " must be a number of seconds");
            return std::nullopt;
        }
        if (!std::isfinite(value) || value < low || value > high) {
            std::ostringstream message;
            message << quoted(key) << " must be from " << low << " to " << high << " seconds, not " << value;
            errors_.add(n->source(), message.str());
            return std::nullopt;
        }
        return value;
    }

    std::optional<double> number(const std::string& key, double low, double high) {
        const toml::node* n = node(key);
        if (n == nullptr) return std::nullopt;
        const std::optional<double> value = n->is_integer()         ? static_cast<double>(n->as_integer()->get())
                                            : n->is_floating_point() ? std::optional<double>(n->as_floating_point()->get())
                                                                     : std::nullopt;
        if (!value || !std::isfinite(*value) || *value < low || *value > high) {
            std::ostringstream message;
            message << quoted(key) << " must be a number from " << low << " to " << high;
            errors_.add(n->source(), message.str());
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::string> choice(const std::string& key, const std::vector<std::string>& choices) {
        const auto value = text(key);
        if (!value) return std::nullopt;
        if (std::find(choices.begin(), choices.end(), *value) != choices.end()) return value;
        std::string list;
        for (std::size_t i = 0; i < choices.size(); ++i) {
            list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + quoted(choices[i]);
        }
        errors_.add(line_of(key), quoted(key) + " must be " + list + ", not " + quoted(*value));
        return std::nullopt;
    }

    // Every key nobody asked for is an error.
    void refuse_unknown() {
        for (auto&& [key, value] : table_) {
            const std::string name(key.str());
            if (known_.count(name) == 0) errors_.add(value.source(), "unknown key " + quoted(name) + " in " + what_);
        }
    }

private:
    const toml::table& table_;
    std::string what_;
    Errors& errors_;
    std::set<std::string> known_;
};

// How deep tables and arrays are nested in `node` (a value: 0).
std::size_t nesting(const toml::node& node) {
    std::size_t deepest = 0;
    if (const toml::table* table = node.as_table()) {
        for (auto&& [key, value] : *table) deepest = std::max(deepest, nesting(value) + 1);
        return std::max<std::size_t>(deepest, 1);
    }
    if (const toml::array* array = node.as_array()) {
        for (const toml::node& value : *array) deepest = std::max(deepest, nesting(value) + 1);
        return std::max<std::size_t>(deepest, 1);
    }
    return 0;
}

Json::Value json_of(const toml::node& node) {
    if (const auto* table = node.as_table()) {
        Json::Value object(Json::objectValue);
        for (auto&& [key, value] : *table) object[std::string(key.str())] = json_of(value);
        return object;
    }
    if (const auto* array = node.as_array()) {
        Json::Value list(Json::arrayValue);
        for (const toml::node& value : *array) list.append(json_of(value));
        return list;
    }
    if (const auto* text = node.as_string()) return Json::Value(text->get());
    if (const auto* whole = node.as_integer()) return Json::Value(static_cast<Json::Int64>(whole->get()));
    if (const auto* number = node.as_floating_point()) return Json::Value(number->get());
    if (const auto* flag = node.as_boolean()) return Json::Value(flag->get());
    std::ostringstream text;
    node.visit([&](const auto& value) { text << value; });
    return Json::Value(text.str());
}

// "Mon-Fri", "Sat,Sun", "Mon": the days as bits (Monday bit 0); 0 when malformed.
unsigned day_mask_of(const std::string& text) {
    static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    const auto day = [](const std::string& name) {
        for (int d = 0; d < 7; ++d) {
            if (name == kDays[d]) return d;
        }
        return -1;
    };
    unsigned mask = 0;
    std::stringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        part.erase(0, part.find_first_not_of(' '));
        part.erase(part.find_last_not_of(' ') + 1);
        const std::size_t dash = part.find('-');
        const int from = day(part.substr(0, dash));
        const int to = dash == std::string::npos ? from : day(part.substr(dash + 1));
        if (from < 0 || to < 0) return 0;
        for (int d = from;; d = (d + 1) % 7) {
            mask |= 1u << d;
            if (d == to) break;
        }
    }
    return mask;
}

// "07:00" as minutes of the day ("24:00" too); -1 when malformed.
int minute_of_day(const std::string& text) {
    int hours, minutes, used = 0;
    if (std::sscanf(text.c_str(), "%2d:%2d%n", &hours, &minutes, &used) != 2 || used != 5 || text.size() != 5 ||
        hours < 0 || minutes < 0 || minutes > 59 || hours * 60 + minutes > 1440) {
        return -1;
    }
    return hours * 60 + minutes;
}

std::optional<double> price(Table& t, const std::string& key, bool required) {
    const auto v = t.number(key, 0, 1e9);
    if (!v && required && t.node(key) == nullptr) t.text(key, true);
    return v;
}

std::optional<TariffConfig> read_tariff(const toml::table& table, Errors& errors) {
    Table t(table, "[[tariff]]", errors);
    TariffConfig tariff;
    const auto name = t.name("name");
    const auto currency = t.text("currency", true);
    const auto per_kwh = price(t, "price_per_kWh", true);
    if (const auto from = t.text("from")) {
        int y, m, d, used = 0;
        if (std::sscanf(from->c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &used) != 3 || used != 10 || from->size() != 10 ||
            m < 1 || m > 12 || d < 1 || d > 31) {
            errors.add(t.line_of("from"), "'from' must be a day as \"YYYY-MM-DD\", not " + quoted(*from));
        } else {
            tariff.from = *from;
        }
    }
    tariff.demand_price_per_kw = price(t, "demand_price_per_kW", false);
    if (const toml::node* windows = t.node("window")) {
        if (!windows->is_array_of_tables()) {
            errors.add(windows->source(), "'window' must be sections [[tariff.window]]");
        } else {
            for (const toml::node& entry : *windows->as_array()) {
                Table w(*entry.as_table(), "[[tariff.window]]", errors);
                TariffConfig::Window window;
                if (const auto days = w.text("days")) {
                    window.days = *days;
                    window.day_mask = day_mask_of(*days);
                    if (window.day_mask == 0) {
                        errors.add(w.line_of("days"), "'days' must be days such as \"Mon-Fri\" or \"Sat,Sun\", not " +
                                                          quoted(*days));
                    }
                }
                const auto from = w.text("from", true);
                const auto to = w.text("to", true);
                if (from) {
                    window.from = *from;
                    window.from_minute = minute_of_day(*from);
                    if (window.from_minute < 0) errors.add(w.line_of("from"), "'from' must be a time as \"07:00\", not " + quoted(*from));
                }
                if (to) {
                    window.to = *to;
                    window.to_minute = minute_of_day(*to);
                    if (window.to_minute < 0) errors.add(w.line_of("to"), "'to' must be a time as \"21:00\", not " + quoted(*to));
                }
                if (const auto p = price(w, "price_per_kWh", true)) window.price_per_kwh = *p;
                w.refuse_unknown();
                tariff.windows.push_back(window);
            }
        }
    }
    t.refuse_unknown();
    if (!name || !currency || !per_kwh) return std::nullopt;
    tariff.name = *name;
    tariff.currency = *currency;
    tariff.price_per_kwh = *per_kwh;
    return tariff;
}

// "m1:1-6,9" as its meter's name and circuits (1-18); a fault says what is wrong.
std::vector<std::pair<std::string, int>> group_circuits_of(const std::string& text, std::string& fault) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        fault = "must be a meter's name, a colon and circuits, such as \"m1:1-6\"";
        return {};
    }
    const std::string meter = text.substr(0, colon);
    std::vector<std::pair<std::string, int>> found;
    std::stringstream parts(text.substr(colon + 1));
    std::string part;
    while (std::getline(parts, part, ',')) {
        int from, to, used = 0;
        const bool range = std::sscanf(part.c_str(), "%d-%d%n", &from, &to, &used) == 2 &&
                           static_cast<std::size_t>(used) == part.size();
        used = 0;
        if (!range && !(std::sscanf(part.c_str(), "%d%n", &from, &used) == 1 &&
                        static_cast<std::size_t>(used) == part.size())) {
            fault = "names circuits as numbers, ranges and lists, such as \"m1:1-6,9\", not " + quoted(part);
            return {};
        }
        if (!range) to = from;
        if (from < 1 || to > pondrel_meter::kCircuits || from > to) {
            fault = "names circuit " + part + "; a meter has circuits 1 to " + std::to_string(pondrel_meter::kCircuits);
            return {};
        }
        for (int n = from; n <= to; ++n) found.emplace_back(meter, n);
    }
    return found;
}

std::optional<GroupConfig> read_group(const toml::table& table, Errors& errors,
                                      const std::map<std::string, std::size_t>& meters) {
    Table t(table, "[[group]]", errors);
    GroupConfig group;
    const auto name = t.name("name");
    if (const auto v = t.text("tariff")) group.tariff = *v;
    bool sound = name.has_value();
    const toml::node* list = t.node("circuits");
    if (list == nullptr) {
        errors.add(t.line(), "[[group]] has no 'circuits'");
        sound = false;
    } else if (!list->is_array() || list->as_array()->empty()) {
        errors.add(list->source(), "'circuits' must be a list such as [\"m1:1-6\", \"m2:3\"]");
        sound = false;
    } else {
        for (const toml::node& entry : *list->as_array()) {
            if (!entry.is_string()) {
                errors.add(entry.source(), "'circuits' entries must be texts such as \"m1:1-6\"");
                sound = false;
                continue;
            }
            const std::string text = entry.as_string()->get();
            std::string fault;
            const auto circuits = group_circuits_of(text, fault);
            if (!fault.empty()) {
                errors.add(entry.source(), "group circuits " + quoted(text) + " " + fault);
                sound = false;
                continue;
            }
            if (meters.count(circuits.front().first) == 0) {
                std::string known;
                for (const auto& [meter, line] : meters) known += (known.empty() ? "" : ", ") + quoted(meter);
                errors.add(entry.source(), "group circuits " + quoted(text) + " name meter " +
                                               quoted(circuits.front().first) + ", which no [[meter]] defines (" +
                                               (known.empty() ? std::string("none") : known) + ")");
                sound = false;
                continue;
            }
            group.circuits_text.push_back(text);
            group.circuits.insert(group.circuits.end(), circuits.begin(), circuits.end());
        }
    }
    t.refuse_unknown();
    if (!sound) return std::nullopt;
    group.name = *name;
    return group;
}

const char* kTransports[] = {"device", "tcp", "rtu_over_tcp"};

std::optional<LineConfig> read_line(const toml::table& table, Errors& errors) {
    Table t(table, "[[line]]", errors);
    LineConfig line;
    const auto name = t.name("name");
    if (name) line.name = *name;
    int transports = 0;
    for (const char* key : kTransports) {
        const auto where = t.text(key);
        if (!where) continue;
        if (++transports > 1) {
            errors.add(t.line_of(key), "line " + quoted(line.name) + " has more than one of 'device', 'tcp' and "
                                       "'rtu_over_tcp'");
            continue;
        }
        const std::string k = key;
        if (k == "device") {
            line.settings.transport = Transport::Serial;
            line.settings.device = *where;
        } else {
            line.settings.transport = k == "tcp" ? Transport::Tcp : Transport::RtuOverTcp;
            try {
                parse_endpoint(*where, k == "rtu_over_tcp", line.settings);
            } catch (const std::invalid_argument& e) {
                errors.add(t.line_of(key), quoted(k) + " must be HOST" + (k == "tcp" ? "[:PORT]" : ":PORT") +
                                               ", not " + e.what());
            }
        }
    }
    if (transports == 0 && t.node("device") == nullptr && t.node("tcp") == nullptr &&
        t.node("rtu_over_tcp") == nullptr) {
        errors.add(t.line(), "line " + quoted(line.name) + " has none of 'device', 'tcp' and 'rtu_over_tcp'");
    }
    SerialSettings& s = line.settings;
    if (const auto v = t.whole("baud", 50, 4000000)) s.baud = static_cast<int>(*v);
    if (const auto v = t.choice("parity", {"N", "E", "O"})) s.parity = (*v)[0];
    if (const auto v = t.whole("data_bits", 7, 8)) s.data_bits = static_cast<int>(*v);
    if (const auto v = t.whole("stop_bits", 1, 2)) s.stop_bits = static_cast<int>(*v);
    if (const auto v = t.whole("timeout_ms", 1, 60000)) s.timeout_ms = static_cast<int>(*v);
    if (const auto v = t.whole("connect_pause_ms", 0, 60000)) s.connect_pause_ms = static_cast<int>(*v);
    if (const auto v = t.whole("request_pause_ms", 0, 60000)) s.request_pause_ms = static_cast<int>(*v);
    t.refuse_unknown();
    if (!name) return std::nullopt;
    return line;
}

struct MeterLines {
    std::size_t table = 0, slave = 0, data_id = 0, line = 0;
};

std::optional<MeterConfig> read_meter(const toml::table& table, std::size_t position, Errors& errors,
                                      MeterLines& lines) {
    Table t(table, "[[meter]]", errors);
    MeterConfig meter;
    lines = {t.line(), t.line_of("slave"), t.line_of("data_id"), t.line_of("line")};
    const auto name = t.name("name");
    const auto line = t.text("line", true);
    if (name) meter.name = *name;
    if (line) meter.line = *line;
    if (const auto v = t.whole("slave", 1, 247)) meter.slave = static_cast<int>(*v);
    meter.data_id = static_cast<std::uint32_t>(position);
    if (const auto v = t.whole("data_id", 0, 0xFFFFFFFFLL)) meter.data_id = static_cast<std::uint32_t>(*v);
    if (const auto v = t.choice("word_order", {"ABCD", "CDAB", "BADC", "DCBA", "auto"})) {
        meter.word_order_auto = *v == "auto";
        if (!meter.word_order_auto) meter.word_order = *parse_word_order(*v);
    }
    if (const auto v = t.seconds("interval", 0, 86400)) meter.interval_s = *v;
    if (const auto v = t.seconds("retry_max", 0.001, 86400)) meter.retry_max_s = *v;
    if (const auto v = t.seconds("stale_after", 0.001, 864000)) meter.stale_after_s = *v;
    if (auto v = t.names("circuits", pondrel_meter::kCircuits)) meter.circuit_names = std::move(*v);
    if (const auto v = t.text("tariff")) meter.tariff = *v;
    meter.setting_source = "the setting of meter " + quoted(meter.name);
    if (const toml::node* setting = t.node("setting")) {
        if (!setting->is_table()) {
            errors.add(setting->source(), "'setting' must be a table, such as setting = { appSetting = { b_mode = 1 } }");
        } else if (nesting(*setting) > kMaxSettingNesting) {
            errors.add(setting->source(), "'setting' is nested deeper than " + std::to_string(kMaxSettingNesting) +
                                              " levels");
        } else {
            meter.setting = json_of(*setting);
            const toml::node* id = setting->as_table()->get("data_id");
            if (id != nullptr && (!id->is_integer() || id->as_integer()->get() != meter.data_id)) {
                std::ostringstream given;
                id->visit([&](const auto& value) { given << value; });
                errors.add(id->source(), "the setting's data_id " + given.str() + " disagrees with the meter's data_id " +
                                             std::to_string(meter.data_id));
            }
        }
    }
    t.refuse_unknown();
    if (!name || !line) return std::nullopt;
    return meter;
}

// The first line of a small file that only its owner should read (a password).
std::optional<std::string> first_line_of(const std::string& path, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    std::ifstream file(path);
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string machine_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "pondrel";
    return std::string("pondrel-") + name;
}

// MQTT topics: no wildcards, no empty levels at the ends.
bool sound_topic_prefix(const std::string& prefix) {
    return prefix.find_first_of("+#") == std::string::npos && prefix.front() != '/' && prefix.back() != '/';
}

// The part of `address` after its scheme, plain or secure ("mqtt", "mqtts"),
// and whether it is secure; nothing for another scheme.
std::optional<std::pair<std::string, bool>> after_scheme(const std::string& address, const std::string& plain,
                                                         const std::string& secure) {
    for (const auto& [scheme, tls] : {std::make_pair(plain + "://", false), std::make_pair(secure + "://", true)}) {
        if (address.compare(0, scheme.size(), scheme) == 0) return std::make_pair(address.substr(scheme.size()), tls);
    }
    return std::nullopt;
}

std::optional<InfluxConfig> read_influxdb(const toml::table& table, Errors& errors) {
    Table t(table, "[influxdb]", errors);
    InfluxConfig influx;
    bool sound = true;
    if (const auto url = t.text("url", true)) {
        influx.url = *url;
        std::string rest;
        if (const auto split = after_scheme(*url, "http", "https")) {
            std::tie(rest, influx.tls) = *split;
        } else {
            errors.add(t.line_of("url"), "'url' must be http://HOST[:PORT] or https://HOST[:PORT], not " + quoted(*url));
            sound = false;
        }
        if (sound) {
            const std::size_t slash = rest.find('/');
            if (slash != std::string::npos) {
                influx.path = rest.substr(slash);
                while (!influx.path.empty() && influx.path.back() == '/') influx.path.pop_back();
                rest = rest.substr(0, slash);
            }
            try {
                std::tie(influx.host, influx.port) = host_and_port(rest, false, 8086);
            } catch (const std::invalid_argument& e) {
                errors.add(t.line_of("url"), "'url' " + quoted(*url) + ": " + e.what());
                sound = false;
            }
        }
    } else {
        sound = false;
    }
    if (const auto v = t.whole("version", 1, 2)) influx.version = static_cast<int>(*v);
    influx.username = t.text("username");
    for (const char* key : {"password_file", "token_file", "ca_file"}) {
        const auto path = t.text(key);
        if (!path) continue;
        std::string error;
        const auto line = first_line_of(*path, error);
        if (!line) {
            errors.add(t.line_of(key), "cannot read " + quoted(key) + " " + *path + ": " + error);
            sound = false;
            continue;
        }
        if (std::string(key) == "password_file") {
            influx.password_file = path;
            influx.password = *line;
        } else if (std::string(key) == "token_file") {
            influx.token_file = path;
            influx.token = *line;
        } else {
            influx.ca_file = path;
        }
    }
    const auto database = t.text("database");
    const auto org = t.text("org");
    const auto bucket = t.text("bucket");
    const auto refuse = [&](const char* key, const std::string& why) {
        errors.add(t.line_of(key), why);
        sound = false;
    };
    if (influx.version == 1) {
        if (database) influx.database = *database; else refuse("url", "[influxdb] of version 1 has no 'database'");
        for (const char* key : {"org", "bucket", "token_file"}) {
            if (t.node(key) != nullptr) refuse(key, quoted(key) + " is for version = 2");
        }
        if (influx.password_file && !influx.username) refuse("password_file", "'password_file' needs a 'username'");
    } else {
        if (org) influx.org = *org; else refuse("version", "[influxdb] of version 2 has no 'org'");
        if (bucket) influx.bucket = *bucket; else refuse("version", "[influxdb] of version 2 has no 'bucket'");
        if (!influx.token_file && t.node("token_file") == nullptr) refuse("version", "[influxdb] of version 2 has no 'token_file'");
        for (const char* key : {"database", "username", "password_file"}) {
            if (t.node(key) != nullptr) refuse(key, quoted(key) + " is for version = 1");
        }
    }
    if (influx.ca_file && !influx.tls) refuse("ca_file", "'ca_file' needs an https:// url");
    if (const auto v = t.whole("max_pending", 1, 1000000000)) influx.max_pending = *v;
    t.refuse_unknown();
    if (!sound) return std::nullopt;
    return influx;
}

std::optional<MqttConfig> read_mqtt(const toml::table& table, Errors& errors) {
    Table t(table, "[mqtt]", errors);
    MqttConfig mqtt;
    bool sound = true;
    if (const auto broker = t.text("broker", true)) {
        mqtt.broker = *broker;
        std::string rest;
        if (const auto split = after_scheme(*broker, "mqtt", "mqtts")) {
            std::tie(rest, mqtt.tls) = *split;
        } else {
            errors.add(t.line_of("broker"), "'broker' must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not " +
                                                quoted(*broker));
            sound = false;
        }
        if (sound) {
            try {
                std::tie(mqtt.host, mqtt.port) = host_and_port(rest, false, mqtt.tls ? 8883 : 1883);
            } catch (const std::invalid_argument& e) {
                errors.add(t.line_of("broker"), "'broker' " + quoted(*broker) + ": " + e.what());
                sound = false;
            }
        }
    } else {
        sound = false;
    }
    mqtt.client_id = t.text("client_id").value_or(machine_name());
    mqtt.username = t.text("username");
    for (const char* key : {"password_file", "ca_file"}) {
        const auto path = t.text(key);
        if (!path) continue;
        std::string error;
        const auto line = first_line_of(*path, error);
        if (!line) {
            errors.add(t.line_of(key), "cannot read " + quoted(key) + " " + *path + ": " + error);
            sound = false;
            continue;
        }
        if (std::string(key) == "password_file") {
            mqtt.password_file = path;
            mqtt.password = *line;
        } else {
            mqtt.ca_file = path;
        }
    }
    if (mqtt.password_file && !mqtt.username) {
        errors.add(t.line_of("password_file"), "'password_file' needs a 'username'");
        sound = false;
    }
    if (mqtt.ca_file && !mqtt.tls) {
        errors.add(t.line_of("ca_file"), "'ca_file' needs an mqtts:// broker");
        sound = false;
    }
    for (const char* key : {"topic_prefix", "discovery_prefix"}) {
        const toml::node* n = t.node(key);
        if (n == nullptr) continue;
        const bool discovery = std::string(key) == "discovery_prefix";
        if (!n->is_string() || (!discovery && n->as_string()->get().empty())) {
            errors.add(n->source(), quoted(key) + " must be a text in quotes" + (discovery ? "" : ", not empty"));
            sound = false;
            continue;
        }
        const std::string value = n->as_string()->get();
        if (!value.empty() && !sound_topic_prefix(value)) {
            errors.add(n->source(), quoted(key) + " must be topic levels without '+', '#' or a '/' at either end");
            sound = false;
            continue;
        }
        (discovery ? mqtt.discovery_prefix : mqtt.topic_prefix) = value;
    }
    if (const auto v = t.whole("qos", 0, 2)) mqtt.qos = static_cast<int>(*v);
    if (const auto v = t.whole("keepalive", 5, 3600)) mqtt.keepalive_s = static_cast<int>(*v);
    if (const auto v = t.whole("max_pending", 0, 1000000000)) mqtt.max_pending = static_cast<long>(*v);
    if (const auto v = t.seconds("publish_interval", 0, 86400)) mqtt.publish_interval_s = *v;
    t.refuse_unknown();
    if (!sound) return std::nullopt;
    return mqtt;
}

toml::table parse(const std::string& path, Errors& errors) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        errors.add(0, std::string("cannot read the configuration: ") + std::strerror(errno));
        errors.raise();
    }
    if (!S_ISREG(info.st_mode)) {
        errors.add(0, "the configuration is not a regular file");
        errors.raise();
    }
    if (info.st_size > kMaxConfigBytes) {
        errors.add(0, "the configuration is larger than 1 MiB");
        errors.raise();
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    if (!file.good() && !file.eof()) {
        errors.add(0, std::string("cannot read the configuration: ") + std::strerror(errno));
        errors.raise();
    }
    try {
        return toml::parse(text.str(), path);
    } catch (const toml::parse_error& e) {
        errors.add(e.source(), std::string(e.description()));
        errors.raise();
    }
}

}  // namespace

bool LineConfig::operator==(const LineConfig& other) const {
    const SerialSettings& a = settings;
    const SerialSettings& b = other.settings;
    return name == other.name && a.transport == b.transport && a.device == b.device && a.host == b.host &&
           a.port == b.port && a.baud == b.baud && a.parity == b.parity && a.data_bits == b.data_bits &&
           a.stop_bits == b.stop_bits && a.timeout_ms == b.timeout_ms && a.connect_pause_ms == b.connect_pause_ms &&
           a.request_pause_ms == b.request_pause_ms;
}

bool MeterConfig::operator==(const MeterConfig& other) const {
    return name == other.name && line == other.line && slave == other.slave && data_id == other.data_id &&
           word_order == other.word_order && word_order_auto == other.word_order_auto &&
           interval_s == other.interval_s && retry_max_s == other.retry_max_s && stale_after_s == other.stale_after_s &&
           setting == other.setting;
}

bool InfluxConfig::operator==(const InfluxConfig& other) const {
    return url == other.url && version == other.version && database == other.database && username == other.username &&
           password_file == other.password_file && password == other.password && org == other.org &&
           bucket == other.bucket && token_file == other.token_file && token == other.token &&
           ca_file == other.ca_file && max_pending == other.max_pending;
}

bool MqttConfig::operator==(const MqttConfig& other) const {
    return broker == other.broker && client_id == other.client_id && username == other.username &&
           password_file == other.password_file && password == other.password && ca_file == other.ca_file &&
           topic_prefix == other.topic_prefix && discovery_prefix == other.discovery_prefix && qos == other.qos &&
           keepalive_s == other.keepalive_s && max_pending == other.max_pending &&
           publish_interval_s == other.publish_interval_s;
}

std::optional<long> minutes_days(const SiteConfig& config) {
    if (config.keep_minutes_days) return config.keep_minutes_days;
    if (!config.keep_days) return std::nullopt;
    return std::max(*config.keep_days, kMinutesDaysAtLeast);
}

std::vector<std::string> circuit_names_of(const MeterConfig& meter) {
    std::vector<std::string> names;
    for (int n = 1; n <= pondrel_meter::kCircuits; ++n) {
        const std::size_t i = static_cast<std::size_t>(n - 1);
        names.push_back(i < meter.circuit_names.size() && !meter.circuit_names[i].empty() ? meter.circuit_names[i]
                                                                                           : "circuit " + std::to_string(n));
    }
    return names;
}

double stale_after_s(const MeterConfig& meter, const LineConfig& line) {
    if (meter.stale_after_s) return *meter.stale_after_s;
    return 2 * meter.interval_s + line.settings.timeout_ms / 1000.0 + 1;
}

std::string mqtt_topic_level(const std::string& meter_name) {
    std::string level = meter_name;
    for (char& c : level) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-';
        if (!plain) c = '_';
    }
    return level.empty() ? "_" : level;
}

std::pair<std::string, int> host_and_port(const std::string& text, bool need_port, int default_port) {
    std::string host = text;
    std::optional<std::string> port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) throw std::invalid_argument("no ']' after the IPv6 address");
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') throw std::invalid_argument("only ':PORT' may follow ']'");
            port = rest.substr(1);
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) throw std::invalid_argument("an IPv6 address goes in brackets");
    }
    if (host.empty()) throw std::invalid_argument("no host");
    if (host.find_first_of("/@?# ") != std::string::npos) throw std::invalid_argument("not a host name: " + host);
    if (!port) {
        if (need_port) throw std::invalid_argument("no port");
        return {host, default_port};
    }
    if (port->empty() || port->size() > 5 || port->find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(*port) < 1 || std::stoi(*port) > 65535) {
        throw std::invalid_argument("the port must be from 1 to 65535");
    }
    return {host, std::stoi(*port)};
}

std::string web_listen(const std::string& text) {
    std::string full = text;
    if (!full.empty() && full.find_first_not_of("0123456789") == std::string::npos) full = ":" + full;
    if (!full.empty() && full.front() == ':') full = "127.0.0.1" + full;
    const auto [host, port] = host_and_port(full, true);
    return host.find(':') != std::string::npos ? "[" + host + "]:" + std::to_string(port)
                                                : host + ":" + std::to_string(port);
}

const LineConfig* SiteConfig::line(const std::string& name) const {
    for (const LineConfig& l : lines) {
        if (l.name == name) return &l;
    }
    return nullptr;
}

ConfigErrors::ConfigErrors(std::vector<std::string> found)
    : std::runtime_error(found.empty() ? "" : found.front()), lines(std::move(found)) {}

SiteConfig read_site_config(const std::string& path) {
    Errors errors(path);
    const toml::table document = parse(path, errors);
    SiteConfig config;
    Table top(document, "the file", errors);
    if (const auto plugin = top.text("plugin")) config.plugin = plugin;
    config.log_level = top.choice("log_level", {"error", "warning", "info", "debug"});
    if (const toml::node* history = top.node("history")) {
        if (!history->is_table()) {
            errors.add(history->source(), "'history' must be a section [history]");
        } else {
            Table t(*history->as_table(), "[history]", errors);
            config.history_file = t.text("file");
            config.keep_days = t.whole("keep_days", 1, 100000);
            config.keep_minutes_days = t.whole("keep_minutes_days", 1, 100000);
            // Minutes read where rows are gone, never the other way round.
            if (config.keep_minutes_days && (!config.keep_days || *config.keep_minutes_days < *config.keep_days)) {
                errors.add(t.line_of("keep_minutes_days"),
                           "'keep_minutes_days' must be at least 'keep_days' (" +
                               (config.keep_days ? std::to_string(*config.keep_days) : std::string("for ever when not given")) +
                               ")");
            }
            if (const auto v = t.whole("keep_statistics_days", 0, 1000000)) {
                config.keep_statistics_days = *v;
                // Statistics answer for the rows' time too.
                if (*v > 0 && (!config.keep_days || *v < *config.keep_days)) {
                    errors.add(t.line_of("keep_statistics_days"),
                               "'keep_statistics_days' must be 0 (for ever) or at least 'keep_days' (" +
                                   (config.keep_days ? std::to_string(*config.keep_days)
                                                     : std::string("for ever when not given")) +
                                   ")");
                }
            }
            if (const auto v = t.whole("journal_reserve_MB", 0, 4096)) config.journal_reserve_mb = *v;
            t.refuse_unknown();
        }
    }
    if (const toml::node* prometheus = top.node("prometheus")) {
        if (!prometheus->is_table()) {
            errors.add(prometheus->source(), "'prometheus' must be a section [prometheus]");
        } else {
            Table t(*prometheus->as_table(), "[prometheus]", errors);
            if (const auto listen = t.text("listen", true)) {
                try {
                    host_and_port(*listen, true);
                    config.prometheus = PrometheusConfig{*listen};
                } catch (const std::invalid_argument& e) {
                    errors.add(t.line_of("listen"), "'listen' must be HOST:PORT, not " + quoted(*listen) + ": " +
                                                        e.what());
                }
            }
            t.refuse_unknown();
        }
    }
    if (const toml::node* web = top.node("web")) {
        if (!web->is_table()) {
            errors.add(web->source(), "'web' must be a section [web]");
        } else {
            Table t(*web->as_table(), "[web]", errors);
            if (const auto listen = t.text("listen", true)) {
                try {
                    config.web = WebConfig{web_listen(*listen), {}, ""};
                } catch (const std::invalid_argument& e) {
                    errors.add(t.line_of("listen"), "'listen' must be HOST:PORT or :PORT, not " + quoted(*listen) +
                                                        ": " + e.what());
                }
            }
            if (const auto file = t.text("web_config_file")) {
                if (::access(file->c_str(), R_OK) != 0) {
                    errors.add(t.line_of("web_config_file"),
                               "cannot read 'web_config_file' " + *file + ": " + std::strerror(errno));
                } else if (config.web) {
                    config.web->web_config_file = *file;
                }
            }
            if (auto hosts = t.names("hosts", 64)) {
                if (std::find(hosts->begin(), hosts->end(), "") != hosts->end()) {
                    errors.add(t.line_of("hosts"), "'hosts' must not hold an empty name");
                } else if (config.web) {
                    config.web->hosts = std::move(*hosts);
                }
            }
            t.refuse_unknown();
        }
    }
    if (const toml::node* mqtt = top.node("mqtt")) {
        if (!mqtt->is_table()) {
            errors.add(mqtt->source(), "'mqtt' must be a section [mqtt]");
        } else {
            config.mqtt = read_mqtt(*mqtt->as_table(), errors);
        }
    }
    std::map<std::string, std::size_t> line_names;
    if (const toml::node* lines = top.node("line")) {
        if (!lines->is_array_of_tables()) {
            errors.add(lines->source(), "'line' must be sections [[line]]");
        } else {
            for (const toml::node& entry : *lines->as_array()) {
                const auto line = read_line(*entry.as_table(), errors);
                if (!line) continue;
                const std::size_t at = entry.source().begin.line;
                if (const auto [first, added] = line_names.emplace(line->name, at); !added) {
                    errors.add(at, "line name " + quoted(line->name) + " is used twice (first on line " +
                                       std::to_string(first->second) + ")");
                    continue;
                }
                config.lines.push_back(*line);
            }
        }
    }
    std::map<std::string, std::size_t> meter_names;
    std::map<std::uint32_t, std::size_t> data_ids;
    std::map<std::pair<std::string, int>, std::string> slaves;
    if (const toml::node* meters = top.node("meter")) {
        if (!meters->is_array_of_tables()) {
            errors.add(meters->source(), "'meter' must be sections [[meter]]");
        } else {
            std::size_t position = 0;
            for (const toml::node& entry : *meters->as_array()) {
                MeterLines at;
                const auto meter = read_meter(*entry.as_table(), ++position, errors, at);
                if (!meter) continue;
                bool sound = true;
                if (const auto [first, added] = meter_names.emplace(meter->name, at.table); !added) {
                    errors.add(at.table, "meter name " + quoted(meter->name) + " is used twice (first on line " +
                                             std::to_string(first->second) + ")");
                    sound = false;
                }
                if (const auto [first, added] = data_ids.emplace(meter->data_id, at.data_id); !added) {
                    errors.add(at.data_id, "data_id " + std::to_string(meter->data_id) + " of meter " +
                                               quoted(meter->name) + " is used twice (first on line " +
                                               std::to_string(first->second) + ")");
                    sound = false;
                }
                if (line_names.count(meter->line) == 0) {
                    errors.add(at.line, "meter " + quoted(meter->name) + " names line " + quoted(meter->line) +
                                            ", which no [[line]] defines");
                    sound = false;
                } else if (const auto [other, added] = slaves.emplace(std::make_pair(meter->line, meter->slave),
                                                                      meter->name);
                           !added) {
                    errors.add(at.slave, "meters " + quoted(other->second) + " and " + quoted(meter->name) +
                                             " both have slave " + std::to_string(meter->slave) + " on line " +
                                             quoted(meter->line));
                    sound = false;
                }
                if (sound) config.meters.push_back(*meter);
            }
        }
    }
    if (const toml::node* influx = top.node("influxdb")) {
        if (!influx->is_table()) {
            errors.add(influx->source(), "'influxdb' must be a section [influxdb]");
        } else {
            config.influxdb = read_influxdb(*influx->as_table(), errors);
        }
    }
    if (const toml::node* site = top.node("site")) {
        if (!site->is_table()) {
            errors.add(site->source(), "'site' must be a section [site]");
        } else {
            Table t(*site->as_table(), "[site]", errors);
            if (const auto zone = t.text("time_zone")) {
                try {
                    config.time_zone = SiteZone(*zone).name();
                } catch (const std::exception& e) {
                    errors.add(t.line_of("time_zone"), "'time_zone': " + std::string(e.what()));
                }
            }
            t.refuse_unknown();
        }
    }
    if (const toml::node* tariffs = top.node("tariff")) {
        if (!tariffs->is_array_of_tables()) {
            errors.add(tariffs->source(), "'tariff' must be sections [[tariff]]");
        } else {
            std::map<std::pair<std::string, std::string>, std::size_t> seen;
            for (const toml::node& entry : *tariffs->as_array()) {
                if (auto tariff = read_tariff(*entry.as_table(), errors)) {
                    const std::size_t line = entry.source().begin.line;
                    if (const auto [first, added] = seen.emplace(std::make_pair(tariff->name, tariff->from), line); !added) {
                        errors.add(line, "tariff " + quoted(tariff->name) + " from " +
                                             (tariff->from.empty() ? std::string("the start") : tariff->from) +
                                             " is given twice (first on line " + std::to_string(first->second) + ")");
                        continue;
                    }
                    config.tariffs.push_back(std::move(*tariff));
                }
            }
        }
    }
    const auto tariff_known = [&](const std::string& name) {
        return std::any_of(config.tariffs.begin(), config.tariffs.end(),
                           [&](const TariffConfig& t) { return t.name == name; });
    };
    const auto tariff_names = [&] {
        std::string names;
        std::set<std::string> listed;
        for (const TariffConfig& t : config.tariffs) {
            if (listed.insert(t.name).second) names += (names.empty() ? "" : ", ") + quoted(t.name);
        }
        return names.empty() ? std::string("none") : names;
    };
    for (const MeterConfig& meter : config.meters) {
        if (!meter.tariff.empty() && !tariff_known(meter.tariff)) {
            errors.add(meter_names.count(meter.name) != 0 ? meter_names.at(meter.name) : 0,
                       "meter " + quoted(meter.name) + " names tariff " + quoted(meter.tariff) +
                           ", which no [[tariff]] defines (" + tariff_names() + ")");
        }
    }
    if (const toml::node* groups = top.node("group")) {
        if (!groups->is_array_of_tables()) {
            errors.add(groups->source(), "'group' must be sections [[group]]");
        } else {
            std::map<std::string, std::size_t> names;
            for (const toml::node& entry : *groups->as_array()) {
                auto group = read_group(*entry.as_table(), errors, meter_names);
                if (!group) continue;
                const std::size_t line = entry.source().begin.line;
                if (const auto [first, added] = names.emplace(group->name, line); !added) {
                    errors.add(line, "group name " + quoted(group->name) + " is used twice (first on line " +
                                         std::to_string(first->second) + ")");
                    continue;
                }
                if (!group->tariff.empty() && !tariff_known(group->tariff)) {
                    errors.add(line, "group " + quoted(group->name) + " names tariff " + quoted(group->tariff) +
                                         ", which no [[tariff]] defines (" + tariff_names() + ")");
                    continue;
                }
                config.groups.push_back(std::move(*group));
            }
        }
    }
    if (!errors.any() && config.meters.empty()) {
        errors.add(0, "no [[meter]]: a site polls at least one meter");
    }
    if (config.meters.size() > kMaxMeters) {
        errors.add(0, std::to_string(config.meters.size()) + " meters: a site holds at most " +
                          std::to_string(kMaxMeters));
    }
    if (config.mqtt) {
        std::map<std::string, std::string> levels;
        for (const MeterConfig& meter : config.meters) {
            const auto [other, added] = levels.emplace(mqtt_topic_level(meter.name), meter.name);
            if (!added) {
                errors.add(0, "meters " + quoted(other->second) + " and " + quoted(meter.name) +
                                  " would publish to one MQTT topic level " + quoted(other->first) +
                                  "; rename one (letters, digits, '_' and '-' are kept)");
            }
        }
    }
    for (auto&& [key, value] : document) {
        const std::string name(key.str());
        if (name == "log_level" || name == "plugin" || name == "history" || name == "line" || name == "meter" || name == "prometheus" ||
            name == "mqtt" || name == "web" || name == "site" || name == "group" || name == "tariff" || name == "influxdb") {
            continue;
        }
        errors.add(value.source(), value.is_table() || value.is_array_of_tables()
                                       ? "unknown section [" + name + "]"
                                       : "unknown key " + quoted(name));
    }
    if (errors.any()) errors.raise();
    return config;
}

}  // namespace pondrel
