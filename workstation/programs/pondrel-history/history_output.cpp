#include "history_output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "local_time.h"
#include "round_values.h"
#include "pondrel_data.h"
#include "program_main.h"

namespace pondrel {

namespace {

// Standard output, checked: a closed pipe ends the program quietly, any
// other failure with exit code 7.
void put(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        if (errno == EPIPE) std::exit(kExitOk);
        throw Failure(kExitBadOutput, std::string("cannot write to standard output: ") + std::strerror(errno));
    }
}

// A stored text as one CSV field: quoted when it holds a comma, a quote or
// a line break, its quotes doubled.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A stored text as a JSON string, escaped.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// What is wrong with a row's stored time or id, said on standard error once
// a row: the row is still exported, its stored text as it is.
void check_row(const History::Row& row, bool time_ok) {
    if (!time_ok) {
        report("pondrel-history", "row " + std::to_string(row.id) + ": its stored time " + json_string(row.saved_at) +
                    " is not a time (YYYY-MM-DDTHH:MM:SS); exported as stored",
               Severity::Warning);
    }
    if (row.data_id < 0 || row.data_id > 0xFFFFFFFFLL) {
        report("pondrel-history", "row " + std::to_string(row.id) + ": its data id " + std::to_string(row.data_id) +
                    " is out of range (0 to 4294967295)", Severity::Warning);
    }
}

}  // namespace

std::string shortest(float value, bool json) {
    const std::string text = reading_text(value);
    if (!text.empty()) return text;
    return json ? "null" : (std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"));
}

std::vector<std::string> column_names() {
    std::vector<std::string> names = {"data_id", "saved_at", "voltage_V"};
    for (const char* kind : {"current%d_A", "power%d_W", "energy%d_kWh"}) {
        for (int n = 1; n <= kPondrelCircuits; ++n) {
            char name[24];
            std::snprintf(name, sizeof name, kind, n);
            names.push_back(name);
        }
    }
    names.push_back("meter");
    return names;
}

// Refuses a --meter or --data-id that names no series of the history,
// naming those it holds: a misspelt name is not an empty export.
void check_selection(History& history, const ExportOptions& options) {
    if (!options.meter && !options.data_id) return;
    const std::vector<History::Device> devices = history.devices();
    std::set<std::string> meters;
    std::set<std::int64_t> ids;
    bool found = false;
    for (const History::Device& device : devices) {
        meters.insert(device.meter);
        ids.insert(device.data_id);
        found = found || ((!options.meter || device.meter == *options.meter) &&
                          (!options.data_id || device.data_id == static_cast<std::int64_t>(*options.data_id)));
    }
    if (found) return;
    std::string known;
    if (options.meter) {
        for (const std::string& meter : meters) known += (known.empty() ? "" : ", ") + ("'" + meter + "'");
    } else {
        for (std::int64_t id : ids) known += (known.empty() ? "" : ", ") + std::to_string(id);
    }
    const std::string asked = options.meter && options.data_id
                                  ? "meter '" + *options.meter + "' with data id " + std::to_string(*options.data_id)
                              : options.meter ? "meter '" + *options.meter + "'"
                                              : "data id " + std::to_string(*options.data_id);
    throw Failure(kExitBadOption, "history " + history.path() + " holds no " + asked +
                                      (known.empty() ? "; it holds no rows"
                                                     : std::string("; it holds ") + (options.meter ? "meters " : "data ids ") + known));
}

void export_rows(History& history, const ExportOptions& options) {
    check_selection(history, options);
    const std::vector<std::string> names = column_names();
    if (!options.jsonl) {
        std::string header;
        for (const std::string& name : names) header += (header.empty() ? "" : ",") + name;
        put(header + "\n");
    }
    std::int64_t without_offset = 0;
    std::int64_t first_without = 0;
    history.for_each(options.data_id, [&](const History::Row& row) {
        const auto instant = instant_of_stored(row.saved_at, row.utc_offset_s);
        if (instant && ((options.since && *instant < *options.since) || (options.until && *instant >= *options.until))) {
            return;
        }
        check_row(row, instant.has_value());
        if (!row.utc_offset_s && ++without_offset == 1) first_without = row.id;
        std::vector<std::string> values = {
            std::to_string(row.data_id),
            !instant ? row.saved_at : row.utc_offset_s ? iso_at_offset(*instant, *row.utc_offset_s) : iso_with_offset(*instant)};
        Pondrel_Data_t record{};
        if (row.record.size() == sizeof record) {
            std::memcpy(&record, row.record.data(), sizeof record);
            values.push_back(shortest(record.voltage, options.jsonl));
            for (const float* block : {record.current, record.power, record.energy}) {
                for (int n = 0; n < kPondrelCircuits; ++n) values.push_back(shortest(block[n], options.jsonl));
            }
        } else {
            // Not a record of this meter: its values are unknown.
            values.resize(names.size() - 1, options.jsonl ? "null" : "");
        }
        values.push_back(row.meter);
        std::string line;
        if (options.jsonl) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                const bool text = i == 1 || i + 1 == names.size();
                line += (i == 0 ? "{\"" : ",\"") + names[i] + "\":" + (text ? json_string(values[i]) : values[i]);
            }
            line += "}\n";
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) line += (i == 0 ? "" : ",") + csv_field(values[i]);
            line += "\n";
        }
        put(line);
    }, options.meter);
    if (without_offset > 0) {
        report("pondrel-history",
               std::to_string(without_offset) + " rows (the first: row " + std::to_string(first_without) +
                   ") were stored without their UTC offset; their times are read in this machine's time zone");
    }
}

void list_devices(History& history) {
    put("data_id,meter,rows,first_saved_at,last_saved_at\n");
    for (const History::Device& device : history.devices()) {
        const auto first = instant_of_local(device.first_saved_at);
        const auto last = instant_of_local(device.last_saved_at);
        put(std::to_string(device.data_id) + "," + csv_field(device.meter) + "," + std::to_string(device.rows) + "," +
            csv_field(first ? iso_with_offset(*first) : device.first_saved_at) + "," +
            csv_field(last ? iso_with_offset(*last) : device.last_saved_at) + "\n");
    }
}


}  // namespace pondrel
