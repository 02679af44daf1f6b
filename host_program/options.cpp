#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

long parse_long(const char* text, const char* option, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high) {
        throw UsageError(std::string("bad value for ") + option + ": '" + text + "' (a whole number from " +
                         std::to_string(low) + " to " + std::to_string(high) + ")");
    }
    return value;
}

double parse_seconds(const char* text, const char* option) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 || value > 86400) {
        throw UsageError(std::string("bad value for ") + option + ": '" + text +
                         "' (seconds, from 0 to 86400)");
    }
    return value;
}

}  // namespace

const char* usage_text() {
    return "usage: pondrel-host [options]\n"
           "Loads the meter plug-in, polls the meter over Modbus RTU and prints the\n"
           "driver's JSON snapshot after every completed round, one object a line.\n"
           "Without --device it polls a built-in simulated meter.\n"
           "\n"
           "  --plugin FILE        plug-in to load (the installed pondrel.so, or this\n"
           "                       build's when run from a build tree)\n"
           "  --setting FILE       device setting, a JSON object; its \"data_id\" is the\n"
           "                       device's data id (default: {\"data_id\": 1})\n"
           "  --device PATH        serial device of a real meter, e.g. /dev/ttyUSB0\n"
           "  --baud N             line speed (9600)\n"
           "  --parity N|E|O       parity (N)\n"
           "  --slave ID           meter's slave address, 1 to 247 (1)\n"
           "  --timeout MS         response timeout in milliseconds (500)\n"
           "  --connect-pause MS   quiet time after opening the line (0)\n"
           "  --request-pause MS   quiet time before each request (0)\n"
           "  --word-order ABCD|CDAB|BADC|DCBA\n"
           "                       how the meter lays a float over two registers\n"
           "                       (ABCD: high word first, big-endian bytes)\n"
           "  --rounds N           stop after N completed rounds (default: run until\n"
           "                       SIGINT or SIGTERM)\n"
           "  --interval SECONDS   polling period (1); 0: rounds back to back. A round\n"
           "                       that overruns its period skips the periods missed\n"
           "  --history FILE       SQLite device history (" "$XDG_STATE_HOME/pondrel/history.db)\n"
           "  -h, --help           this text\n"
           "  --version            the program's version\n"
           "\n"
           "Standard output carries only the JSON lines; status lines and the plug-in's\n"
           "console lines go to standard error. A lost serial device (unplugged\n"
           "adapter) is reopened, waiting 0.5 s doubling to 10 s between attempts; a\n"
           "history that is locked or full keeps records in memory until it takes\n"
           "them again.\n"
           "\n"
           "Exit codes: 0 done (or standard output closed by its reader), 1 unexpected\n"
           "failure, 2 bad option, 3 plug-in, 4 setting file, 5 serial device,\n"
           "6 history, 7 standard output cannot be written.\n";
}

std::string default_history_path() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
        return std::string(state) + "/pondrel/history.db";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::string(home) + "/.local/state/pondrel/history.db";
    }
    return "pondrel-history.db";
}

HostOptions parse_options(int argc, char** argv) {
    HostOptions options;
    options.plugin = default_plugin_path();
    options.history = default_history_path();
    enum Key {
        kPlugin = 1000, kSetting, kDevice, kBaud, kParity, kSlave, kTimeout, kConnectPause,
        kRequestPause, kWordOrder, kRounds, kInterval, kHistory, kHelp, kVersion
    };
    const option longs[] = {
        {"plugin", required_argument, nullptr, kPlugin},
        {"setting", required_argument, nullptr, kSetting},
        {"device", required_argument, nullptr, kDevice},
        {"baud", required_argument, nullptr, kBaud},
        {"parity", required_argument, nullptr, kParity},
        {"slave", required_argument, nullptr, kSlave},
        {"timeout", required_argument, nullptr, kTimeout},
        {"connect-pause", required_argument, nullptr, kConnectPause},
        {"request-pause", required_argument, nullptr, kRequestPause},
        {"word-order", required_argument, nullptr, kWordOrder},
        {"rounds", required_argument, nullptr, kRounds},
        {"interval", required_argument, nullptr, kInterval},
        {"history", required_argument, nullptr, kHistory},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    int key;
    while ((key = getopt_long(argc, argv, "h", longs, nullptr)) != -1) {
        switch (key) {
        case kPlugin:
            options.plugin = optarg;
            // dlopen looks a name without a slash up in the library path; a
            // file of that name here is what the user means.
            if (options.plugin.find('/') == std::string::npos && std::filesystem::exists(options.plugin)) {
                options.plugin = "./" + options.plugin;
            }
            break;
        case kSetting: options.setting = optarg; break;
        case kDevice:
            if (*optarg == '\0') throw UsageError("bad value for --device: an empty path");
            options.line.device = optarg;
            break;
        case kBaud: options.line.baud = static_cast<int>(parse_long(optarg, "--baud", 50, 4000000)); break;
        case kParity: {
            const std::string parity = optarg;
            if (parity != "N" && parity != "E" && parity != "O") {
                throw UsageError("bad value for --parity: '" + parity + "' (N, E or O)");
            }
            options.line.parity = parity[0];
            break;
        }
        case kSlave: options.line.slave = static_cast<int>(parse_long(optarg, "--slave", 1, 247)); break;
        case kTimeout:
            options.line.timeout_ms = static_cast<int>(parse_long(optarg, "--timeout", 1, 60000));
            break;
        case kConnectPause:
            options.line.connect_pause_ms = static_cast<int>(parse_long(optarg, "--connect-pause", 0, 60000));
            break;
        case kRequestPause:
            options.line.request_pause_ms = static_cast<int>(parse_long(optarg, "--request-pause", 0, 60000));
            break;
        case kWordOrder: {
            const auto order = parse_word_order(optarg);
            if (!order) {
                throw UsageError(std::string("bad value for --word-order: '") + optarg +
                                 "' (ABCD, CDAB, BADC or DCBA)");
            }
            options.word_order = *order;
            break;
        }
        case kRounds: options.rounds = parse_long(optarg, "--rounds", 1, 1000000000L); break;
        case kInterval: options.interval_s = parse_seconds(optarg, "--interval"); break;
        case kHistory:
            if (*optarg == '\0') throw UsageError("bad value for --history: an empty path");
            options.history = optarg;
            break;
        case 'h':
        case kHelp: options.help = true; break;
        case kVersion: options.version = true; break;
        case '?':
        default:
            if (optopt != 0) {
                for (const option& o : longs) {
                    if (o.name != nullptr && o.val == optopt) {
                        throw UsageError(std::string("option --") + o.name + " needs a value");
                    }
                }
            }
            throw UsageError(std::string("unknown option '") + argv[optind - 1] + "' (see --help)");
        }
    }
    if (optind < argc) throw UsageError(std::string("unexpected argument '") + argv[optind] + "'");
    return options;
}

std::string default_plugin_path() {
    namespace fs = std::filesystem;
    std::error_code error;
    // An installed program first: the plug-in installed beside it, wherever
    // the package was unpacked.
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path beside = (self.parent_path() / PONDREL_PLUGIN_FROM_BINDIR / "pondrel.so").lexically_normal();
        if (fs::exists(beside, error)) return beside.string();
    }
    // Then this build tree's own plug-in, so a build runs what it just built.
    if (fs::exists(PONDREL_BUILD_PLUGIN, error)) return PONDREL_BUILD_PLUGIN;
    return PONDREL_INSTALLED_PLUGIN;
}
