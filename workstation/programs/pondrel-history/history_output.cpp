#include "history_output.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "local_time.h"
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

}  // namespace

std::string shortest(float value, bool json) {
    if (!std::isfinite(value)) return json ? "null" : (std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"));
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
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
    return names;
}

void export_rows(History& history, const ExportOptions& options) {
    const std::vector<std::string> names = column_names();
    if (!options.jsonl) {
        std::string header;
        for (const std::string& name : names) header += (header.empty() ? "" : ",") + name;
        put(header + "\n");
    }
    history.for_each(options.data_id, [&](const History::Row& row) {
        const auto instant = instant_of_local(row.saved_at);
        if (instant && ((options.since && *instant < *options.since) || (options.until && *instant >= *options.until))) {
            return;
        }
        std::vector<std::string> values = {std::to_string(row.data_id),
                                           instant ? iso_with_offset(*instant) : row.saved_at};
        Pondrel_Data_t record{};
        if (row.record.size() == sizeof record) {
            std::memcpy(&record, row.record.data(), sizeof record);
            values.push_back(shortest(record.voltage, options.jsonl));
            for (const float* block : {record.current, record.power, record.energy}) {
                for (int n = 0; n < kPondrelCircuits; ++n) values.push_back(shortest(block[n], options.jsonl));
            }
        } else {
            // Not a record of this meter: its values are unknown.
            values.resize(names.size(), options.jsonl ? "null" : "");
        }
        std::string line;
        if (options.jsonl) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                line += (i == 0 ? "{\"" : ",\"") + names[i] + "\":" + (i == 1 ? "\"" + values[i] + "\"" : values[i]);
            }
            line += "}\n";
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) line += (i == 0 ? "" : ",") + values[i];
            line += "\n";
        }
        put(line);
    });
}

void list_devices(History& history) {
    put("data_id,rows,first_saved_at,last_saved_at\n");
    for (const History::Device& device : history.devices()) {
        const auto first = instant_of_local(device.first_saved_at);
        const auto last = instant_of_local(device.last_saved_at);
        put(std::to_string(device.data_id) + "," + std::to_string(device.rows) + "," +
            (first ? iso_with_offset(*first) : device.first_saved_at) + "," +
            (last ? iso_with_offset(*last) : device.last_saved_at) + "\n");
    }
}


}  // namespace pondrel
