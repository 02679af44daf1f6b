// What pondrel-history prints of a history: its devices, and every stored
// record decoded into named columns with units, as CSV or JSON lines, each
// value the shortest decimal that reads back as the stored float. Writes go
// to standard output, checked: a closed pipe ends the program quietly (exit
// 0), any other failure throws a Failure (kExitBadOutput). Main thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "history.h"

namespace pondrel {

struct ExportOptions {
    std::optional<std::uint32_t> data_id;  // only this device's rows
    std::optional<std::string> meter;      // only this meter's rows ("" : rows that name none)
    std::optional<std::time_t> since;      // rows saved at or after
    std::optional<std::time_t> until;      // rows saved before
    bool jsonl = false;                    // JSON lines instead of CSV
};

// "data_id", "saved_at", "voltage_V", "current1_A" ... "energy18_kWh", "meter".
std::vector<std::string> column_names();
// The shortest decimal that reads back as `value`; not a number: "nan",
// "inf" or "-inf", or "null" in JSON.
std::string shortest(float value, bool json);

void export_rows(History& history, const ExportOptions& options);
void list_devices(History& history);

}  // namespace pondrel
