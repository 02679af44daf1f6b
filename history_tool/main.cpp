// pondrel-history: reads a pondrel-host history without changing it. `list`
// shows its devices; `export` decodes every stored record into named columns
// with units, as CSV or JSON lines, values exact (each decimal text reads back
// as the stored float).
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "history.h"
#include "local_time.h"
#include "pondrel_data.h"

namespace {

enum ExitCode { kOk = 0, kInternal = 1, kBadOption = 2, kBadHistory = 6, kBadOutput = 7 };

struct Failure {
    int code;
    std::string message;
};

const char kUsage[] =
    "usage: pondrel-history list --history FILE\n"
    "       pondrel-history export --history FILE [--data-id N] [--since T] [--until T]\n"
    "                              [--format csv|jsonl]\n"
    "Reads a history of pondrel-host without changing it.\n"
    "  list                 each data id with its row count and first and last times\n"
    "  export               every stored record decoded, oldest first: data_id,\n"
    "                       saved_at, voltage_V, current1_A..current18_A,\n"
    "                       power1_W..power18_W, energy1_kWh..energy18_kWh\n"
    "  --history FILE       the history (pondrel-host's --history)\n"
    "  --data-id N          only this device's rows\n"
    "  --since T, --until T only rows saved at or after T, before T; T is\n"
    "                       YYYY-MM-DD[THH:MM[:SS]] in local time, or with Z or\n"
    "                       +HH:MM\n"
    "  --format csv|jsonl   csv (default): a header line, then a line a record;\n"
    "                       jsonl: one JSON object a record\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n"
    "Times are ISO 8601 with the UTC offset. Values are the record's floats in\n"
    "the shortest decimal that reads back as the same float (power in W; the\n"
    "snapshot shows kW); a value that is not a number is nan or inf in CSV and\n"
    "null in JSON.\n"
    "Exit codes: 0 done, 1 unexpected failure, 2 bad option, 6 history,\n"
    "7 standard output cannot be written.\n";

struct Options {
    std::string command;
    std::string history;
    std::optional<std::uint32_t> data_id;
    std::optional<std::time_t> since;
    std::optional<std::time_t> until;
    bool jsonl = false;
};

Options parse(int argc, char** argv) {
    Options options;
    enum { kHistory = 1000, kDataId, kSince, kUntil, kFormat, kHelp, kVersion };
    const option longs[] = {
        {"history", required_argument, nullptr, kHistory}, {"data-id", required_argument, nullptr, kDataId},
        {"since", required_argument, nullptr, kSince},     {"until", required_argument, nullptr, kUntil},
        {"format", required_argument, nullptr, kFormat},   {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},       {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int key;
    while ((key = getopt_long(argc, argv, "h", longs, nullptr)) != -1) {
        switch (key) {
        case kHistory: options.history = optarg; break;
        case kDataId: {
            char* end = nullptr;
            errno = 0;
            const unsigned long long id = std::strtoull(optarg, &end, 10);
            if (*optarg == '\0' || *optarg == '-' || *end != '\0' || errno != 0 || id > 0xFFFFFFFFull) {
                throw Failure{kBadOption, std::string("bad value for --data-id: '") + optarg + "'"};
            }
            options.data_id = static_cast<std::uint32_t>(id);
            break;
        }
        case kSince:
        case kUntil: {
            const auto when = parse_time_argument(optarg);
            if (!when) {
                throw Failure{kBadOption, std::string("bad value for --") + (key == kSince ? "since" : "until") +
                                              ": '" + optarg + "' (YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM])"};
            }
            (key == kSince ? options.since : options.until) = when;
            break;
        }
        case kFormat: {
            const std::string format = optarg;
            if (format != "csv" && format != "jsonl") {
                throw Failure{kBadOption, "bad value for --format: '" + format + "' (csv or jsonl)"};
            }
            options.jsonl = format == "jsonl";
            break;
        }
        case 'h':
        case kHelp: options.command = "help"; return options;
        case kVersion: options.command = "version"; return options;
        default:
            throw Failure{kBadOption, std::string("unknown or incomplete option '") + argv[optind - 1] + "' (see --help)"};
        }
    }
    if (optind >= argc) throw Failure{kBadOption, "no command (list or export; see --help)"};
    options.command = argv[optind++];
    if (options.command != "list" && options.command != "export") {
        throw Failure{kBadOption, "unknown command '" + options.command + "' (list or export)"};
    }
    if (optind < argc) throw Failure{kBadOption, std::string("unexpected argument '") + argv[optind] + "'"};
    if (options.history.empty()) throw Failure{kBadOption, "--history FILE is needed"};
    return options;
}

// Standard output, checked: a closed pipe ends the program quietly, any
// other failure with exit code 7.
void put(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        if (errno == EPIPE) std::exit(kOk);
        throw Failure{kBadOutput, std::string("cannot write to standard output: ") + std::strerror(errno)};
    }
}

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

void export_rows(History& history, const Options& options) {
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

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        const Options options = parse(argc, argv);
        if (options.command == "help") {
            put(kUsage);
            return kOk;
        }
        if (options.command == "version") {
            put("pondrel-history " PONDREL_VERSION "\n");
            return kOk;
        }
        std::unique_ptr<History> history;
        try {
            history = std::make_unique<History>(options.history, History::Access::ReadOnly);
        } catch (const std::exception& e) {
            throw Failure{kBadHistory, e.what()};
        }
        try {
            if (options.command == "list") {
                list_devices(*history);
            } else {
                export_rows(*history, options);
            }
        } catch (const std::runtime_error& e) {
            throw Failure{kBadHistory, e.what()};
        }
        if (std::fflush(stdout) != 0) {
            if (errno == EPIPE) return kOk;
            throw Failure{kBadOutput, std::string("cannot write to standard output: ") + std::strerror(errno)};
        }
        return kOk;
    } catch (const Failure& failure) {
        std::cerr << "pondrel-history: " << failure.message << "\n";
        return failure.code;
    } catch (const std::exception& e) {
        std::cerr << "pondrel-history: " << e.what() << "\n";
        return kInternal;
    }
}
