// pondrel-meter-sim: a simulated 18-circuit meter on a pseudo-terminal.
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "meter_server.h"
#include "word_order.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

const char kUsage[] =
    "usage: pondrel-meter-sim [options]\n"
    "Simulated 18-circuit meters: Modbus RTU slaves on a new pseudo-terminal,\n"
    "serving holding registers 100 to 209 as 32-bit floats. Prints the\n"
    "terminal's path, then serves until SIGINT or SIGTERM.\n"
    "  --word-order ABCD|CDAB|BADC|DCBA  float layout over two registers (ABCD)\n"
    "  --slave ID[,ID...]  slave addresses, 1 to 247, each its own meter (1)\n"
    "  --line-baud N       pace the line as a real one at N baud (default: not paced)\n"
    "  --line-bits N       bits a character on the paced line: 10 for 8N1, 11 with\n"
    "                      parity or two stop bits (10)\n"
    "  --link PATH         also make PATH a symbolic link to the terminal (an\n"
    "                      existing PATH must be such a link; it is replaced)\n"
    "  --fault F           none|silent|exception|crc|slow|absurd (none)\n"
    "  --fault-file FILE   read the fault from FILE before every request\n"
    "  --slow-ms MS        delay of the slow fault (1500)\n"
    "  -h, --help          this text\n"
    "  --version           the program's version\n";

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "pondrel-meter-sim: " << message << "\n";
    std::exit(2);
}

int parse_int(const char* text, const char* option, int low, int high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        fail(std::string("bad value for ") + option + ": '" + text + "'");
    }
    return static_cast<int>(value);
}

// Makes `link` a symbolic link to `device`. An existing path is replaced only
// when it is itself a link to a pseudo-terminal (left by an earlier run);
// anything else there is refused and left alone.
void make_link(const std::string& device, const std::string& link) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        char target[PATH_MAX] = {};
        const ssize_t length = S_ISLNK(info.st_mode) ? readlink(link.c_str(), target, sizeof target - 1) : -1;
        if (length <= 0 || std::strncmp(target, "/dev/pts/", 9) != 0) {
            fail("--link " + link + " exists and is not a link to a pseudo-terminal; not replacing it");
        }
        if (unlink(link.c_str()) != 0) fail("cannot replace the link " + link + ": " + std::strerror(errno));
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
        fail("cannot make the link " + link + ": " + std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    MeterServerOptions options;
    std::string link;
    const option longs[] = {
        {"word-order", required_argument, nullptr, 'w'}, {"slave", required_argument, nullptr, 's'},
        {"link", required_argument, nullptr, 'l'},       {"fault", required_argument, nullptr, 'f'},
        {"fault-file", required_argument, nullptr, 'F'}, {"slow-ms", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},             {"version", no_argument, nullptr, 'v'},
        {"line-baud", required_argument, nullptr, 'b'},  {"line-bits", required_argument, nullptr, 'B'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "h", longs, nullptr)) != -1) {
        switch (c) {
        case 'w': {
            const auto order = parse_word_order(optarg);
            if (!order) fail(std::string("bad value for --word-order: '") + optarg + "'");
            options.order = *order;
            break;
        }
        case 's': {
            options.slaves.clear();
            std::string list = optarg;
            std::size_t at = 0;
            while (at <= list.size()) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                const std::string one = list.substr(at, comma - at);
                const int slave = parse_int(one.c_str(), "--slave", 1, 247);
                if (std::find(options.slaves.begin(), options.slaves.end(), slave) != options.slaves.end()) {
                    fail("bad value for --slave: " + one + " given twice");
                }
                options.slaves.push_back(slave);
                at = comma + 1;
            }
            break;
        }
        case 'b': options.line_baud = parse_int(optarg, "--line-baud", 50, 4000000); break;
        case 'B': options.bits_per_char = parse_int(optarg, "--line-bits", 10, 11); break;
        case 'l': link = optarg; break;
        case 'f': {
            const auto fault = parse_meter_fault(optarg);
            if (!fault) fail(std::string("bad value for --fault: '") + optarg + "'");
            options.fault = *fault;
            break;
        }
        case 'F': options.fault_file = optarg; break;
        case 'd': options.slow_ms = parse_int(optarg, "--slow-ms", 0, 600000); break;
        case 'h': std::cout << kUsage; return 0;
        case 'v': std::cout << "pondrel-meter-sim " PONDREL_VERSION "\n"; return 0;
        default: fail(std::string("unknown or incomplete option '") + argv[optind - 1] + "' (see --help)");
        }
    }
    if (optind < argc) fail(std::string("unexpected argument '") + argv[optind] + "'");

    try {
        MeterServer server(options);
        if (!link.empty()) make_link(server.device_path(), link);
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::cout << server.device_path() << std::endl;
        server.serve(g_stop);
        if (!link.empty()) unlink(link.c_str());
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return 0;
}
