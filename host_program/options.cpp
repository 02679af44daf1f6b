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
           "Loads the meter plug-in, polls the meter over Modbus and prints the driver's\n"
           "JSON snapshot after every completed round, one object a line. Without\n"
           "--device, --tcp or --rtu-over-tcp it polls a built-in simulated meter.\n"
           "\n"
           "The meter and its line:\n"
           "  --device PATH        serial device of a real meter, e.g. /dev/ttyUSB0\n"
           "  --tcp HOST[:PORT]    a Modbus TCP gateway or meter (port 502)\n"
           "  --rtu-over-tcp HOST:PORT\n"
           "                       a gateway that passes Modbus RTU frames over TCP\n"
           "  --baud N             line speed (9600); without a device, the simulated\n"
           "                       meter's line is paced at N baud when N is given\n"
           "  --parity N|E|O       parity (N: none)\n"
           "  --data-bits 7|8      data bits (8)\n"
           "  --stop-bits 1|2      stop bits (1)\n"
           "  --slave ID           meter's slave address, 1 to 247 (1)\n"
           "  --timeout MS         response timeout in milliseconds (500; 100 a\n"
           "                       address for --scan)\n"
           "  --connect-pause MS   quiet time after opening the line (0)\n"
           "  --request-pause MS   quiet time before each request (0)\n"
           "  --word-order ABCD|CDAB|BADC|DCBA|auto\n"
           "                       how the meter lays a float over two registers\n"
           "                       (ABCD: high word first, big-endian bytes); auto:\n"
           "                       the one order whose voltage is 50 to 500 V\n"
           "\n"
           "Checking a meter:\n"
           "  --once               one round attempt: exit 0 with its line when it\n"
           "                       completes, else exit 8 naming the likely causes\n"
           "  --scan FROM-TO       try each slave address in the range and print one\n"
           "                       line for each that answers; exit 0 if any did\n"
           "\n"
           "Polling:\n"
           "  --plugin FILE        plug-in to load (the installed pondrel.so, or this\n"
           "                       build's when run from a build tree)\n"
           "  --setting FILE       device setting, a JSON object; its \"data_id\" is the\n"
           "                       device's data id (default: {\"data_id\": 1})\n"
           "  --rounds N           stop after N completed rounds (default: run until\n"
           "                       SIGINT or SIGTERM)\n"
           "  --max-failures K     give up (exit 8) after K failed rounds in a row\n"
           "                       (default: never)\n"
           "  --interval SECONDS   polling period (1); 0: rounds back to back. A round\n"
           "                       that overruns its period skips the periods missed\n"
           "  --format json|table  json: the driver's snapshot, one line a round;\n"
           "                       table: time, voltage and a row per circuit\n"
           "  --history FILE       SQLite device history (" "$XDG_STATE_HOME/pondrel/history.db)\n"
           "  --keep-days N        every hour, delete the device's rows older than N\n"
           "                       days (never its newest)\n"
           "  -h, --help           this text\n"
           "  --version            the program's version\n"
           "\n"
           "Standard output carries only the rounds' lines; status lines and the plug-in's\n"
           "console lines go to standard error. A lost serial device (unplugged\n"
           "adapter) is reopened, waiting 0.5 s doubling to 10 s between attempts; a\n"
           "history that is locked or full keeps records in memory until it takes\n"
           "them again.\n"
           "\n"
           "Exit codes: 0 done (or standard output closed by its reader), 1 unexpected\n"
           "failure, 2 bad option, 3 plug-in, 4 setting file, 5 serial device or\n"
           "gateway, 6 history, 7 standard output cannot be written, 8 the meter did\n"
           "not answer as it should (--once, --max-failures, --scan), 9 no single word\n"
           "order fits (--word-order auto).\n";
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

namespace {

// "HOST[:PORT]" (port 502 when left out, `need_port` says it may not be);
// an IPv6 address goes in brackets: "[::1]:1502".
void parse_endpoint(const std::string& text, const char* option, bool need_port, SerialSettings& line) {
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) throw UsageError(std::string("bad value for ") + option + ": '" + text + "'");
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw UsageError(std::string("bad value for ") + option + ": '" + text + "'");
            port = text.substr(close + 2);
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) throw UsageError(std::string("bad value for ") + option + ": '" + text + "' (no host)");
    if (port.empty() && need_port) {
        throw UsageError(std::string("bad value for ") + option + ": '" + text + "' (HOST:PORT)");
    }
    line.host = host;
    line.port = port.empty() ? 502 : static_cast<int>(parse_long(port.c_str(), option, 1, 65535));
    line.device = text;
}

}  // namespace

HostOptions parse_options(int argc, char** argv) {
    HostOptions options;
    options.plugin = default_plugin_path();
    options.history = default_history_path();
    enum Key {
        kPlugin = 1000, kSetting, kDevice, kTcp, kRtuOverTcp, kBaud, kParity, kDataBits, kStopBits, kSlave,
        kTimeout, kConnectPause, kRequestPause, kWordOrder, kOnce, kScan, kRounds, kMaxFailures, kInterval,
        kFormat, kHistory, kKeepDays, kHelp, kVersion
    };
    const option longs[] = {
        {"plugin", required_argument, nullptr, kPlugin},
        {"setting", required_argument, nullptr, kSetting},
        {"device", required_argument, nullptr, kDevice},
        {"tcp", required_argument, nullptr, kTcp},
        {"rtu-over-tcp", required_argument, nullptr, kRtuOverTcp},
        {"baud", required_argument, nullptr, kBaud},
        {"parity", required_argument, nullptr, kParity},
        {"data-bits", required_argument, nullptr, kDataBits},
        {"stop-bits", required_argument, nullptr, kStopBits},
        {"slave", required_argument, nullptr, kSlave},
        {"timeout", required_argument, nullptr, kTimeout},
        {"connect-pause", required_argument, nullptr, kConnectPause},
        {"request-pause", required_argument, nullptr, kRequestPause},
        {"word-order", required_argument, nullptr, kWordOrder},
        {"once", no_argument, nullptr, kOnce},
        {"scan", required_argument, nullptr, kScan},
        {"rounds", required_argument, nullptr, kRounds},
        {"max-failures", required_argument, nullptr, kMaxFailures},
        {"interval", required_argument, nullptr, kInterval},
        {"format", required_argument, nullptr, kFormat},
        {"history", required_argument, nullptr, kHistory},
        {"keep-days", required_argument, nullptr, kKeepDays},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    bool baud_given = false;
    bool timeout_given = false;
    int lines_given = 0;
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
            options.line.transport = Transport::Serial;
            options.line.device = optarg;
            ++lines_given;
            break;
        case kTcp:
            options.line.transport = Transport::Tcp;
            parse_endpoint(optarg, "--tcp", false, options.line);
            ++lines_given;
            break;
        case kRtuOverTcp:
            options.line.transport = Transport::RtuOverTcp;
            parse_endpoint(optarg, "--rtu-over-tcp", true, options.line);
            ++lines_given;
            break;
        case kBaud:
            options.line.baud = static_cast<int>(parse_long(optarg, "--baud", 50, 4000000));
            baud_given = true;
            break;
        case kParity: {
            const std::string parity = optarg;
            if (parity != "N" && parity != "E" && parity != "O") {
                throw UsageError("bad value for --parity: '" + parity + "' (N, E or O)");
            }
            options.line.parity = parity[0];
            break;
        }
        case kDataBits: options.line.data_bits = static_cast<int>(parse_long(optarg, "--data-bits", 7, 8)); break;
        case kStopBits: options.line.stop_bits = static_cast<int>(parse_long(optarg, "--stop-bits", 1, 2)); break;
        case kSlave: options.line.slave = static_cast<int>(parse_long(optarg, "--slave", 1, 247)); break;
        case kTimeout:
            options.line.timeout_ms = static_cast<int>(parse_long(optarg, "--timeout", 1, 60000));
            timeout_given = true;
            break;
        case kConnectPause:
            options.line.connect_pause_ms = static_cast<int>(parse_long(optarg, "--connect-pause", 0, 60000));
            break;
        case kRequestPause:
            options.line.request_pause_ms = static_cast<int>(parse_long(optarg, "--request-pause", 0, 60000));
            break;
        case kWordOrder: {
            if (std::string(optarg) == "auto") {
                options.word_order_auto = true;
                break;
            }
            const auto order = parse_word_order(optarg);
            if (!order) {
                throw UsageError(std::string("bad value for --word-order: '") + optarg +
                                 "' (ABCD, CDAB, BADC, DCBA or auto)");
            }
            options.word_order = *order;
            options.word_order_auto = false;
            break;
        }
        case kOnce: options.once = true; break;
        case kScan: {
            const std::string range = optarg;
            const std::size_t dash = range.find('-');
            const std::string from = range.substr(0, dash);
            const std::string to = dash == std::string::npos ? from : range.substr(dash + 1);
            const int first = static_cast<int>(parse_long(from.c_str(), "--scan", 1, 247));
            const int last = static_cast<int>(parse_long(to.c_str(), "--scan", 1, 247));
            if (first > last) throw UsageError("bad value for --scan: '" + range + "' (FROM-TO, FROM not above TO)");
            options.scan = std::make_pair(first, last);
            break;
        }
        case kRounds: options.rounds = parse_long(optarg, "--rounds", 1, 1000000000L); break;
        case kMaxFailures: options.max_failures = parse_long(optarg, "--max-failures", 1, 1000000000L); break;
        case kInterval: options.interval_s = parse_seconds(optarg, "--interval"); break;
        case kFormat: {
            const std::string format = optarg;
            if (format == "json") {
                options.format = OutputFormat::Json;
            } else if (format == "table") {
                options.format = OutputFormat::Table;
            } else {
                throw UsageError("bad value for --format: '" + format + "' (json or table)");
            }
            break;
        }
        case kHistory:
            if (*optarg == '\0') throw UsageError("bad value for --history: an empty path");
            options.history = optarg;
            break;
        case kKeepDays: options.keep_days = parse_long(optarg, "--keep-days", 1, 100000); break;
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
    if (lines_given > 1) throw UsageError("give one of --device, --tcp and --rtu-over-tcp");
    if (options.once && options.rounds) throw UsageError("--once and --rounds exclude each other");
    if (options.scan && !timeout_given) options.line.timeout_ms = 100;
    // The built-in simulated meter paces its line only when asked to.
    options.simulated_line_baud = options.line.device.empty() && baud_given ? options.line.baud : 0;
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
