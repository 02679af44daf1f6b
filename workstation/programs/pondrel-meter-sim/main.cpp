// pondrel-meter-sim: simulated 18-circuit meters on a pseudo-terminal.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "endpoint.h"
#include "meter_server.h"
#include "program_main.h"
#include "pty_link.h"
#include "stop_signal.h"
#include "word_order.h"

namespace {

const char kDescription[] =
    "Simulated 18-circuit meters: Modbus RTU slaves on a new pseudo-terminal,\n"
    "serving holding registers 100 to 209 as 32-bit floats. Each slave draws\n"
    "its own load; its energy counters rise by what its power delivers over\n"
    "the time between its rounds. Prints the terminal's path, then serves\n"
    "until SIGINT or SIGTERM.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace pondrel;
    // Every failure of this program, bad options or a line it cannot set up, is exit code 2.
    return guarded_main("pondrel-meter-sim", [&] {
        MeterServerOptions options;
        std::string word_order, slaves, link;
        std::vector<std::string> faults;
        CLI::App app;
        set_up_command_line(app, "pondrel-meter-sim [options]", kDescription, "",
                            "pondrel-meter-sim " PONDREL_VERSION);
        app.add_option("--word-order", word_order, "float layout over two registers (ABCD)")
            ->type_name("ABCD|CDAB|BADC|DCBA")->check(one_of({"ABCD", "CDAB", "BADC", "DCBA"}, "ABCD, CDAB, BADC or DCBA"));
        auto* slave_option = app.add_option("--slave", slaves,
                       "slave addresses, 1 to 247, and ranges FROM-TO, each its own meter (1), e.g. 1-4,7")
            ->type_name("ID[,ID...]");
        app.add_option("--line-baud", options.line_baud, "pace the line as a real one at N baud (default: not paced)")
            ->type_name("N")->check(whole_number(50, 4000000));
        app.add_option("--line-bits", options.bits_per_char,
                       "bits a character on the paced line: 10 for 8N1, 11 with parity or two stop bits (10)")
            ->type_name("N")->check(whole_number(10, 11));
        int speed = 1;
        app.add_option("--speed", speed,
                       "meter time runs N times as fast as the clock: the energy counters rise N times as fast "
                       "as the power implies at the clock's pace, as if each round lasted N times as long (1)")
            ->type_name("N")->check(whole_number(1, 1000000));
        app.add_option("--round-seconds", options.round_seconds,
                       "count each round as S seconds of meter time, whatever the clock says: reproducible "
                       "energy counters (default: the clock)")
            ->type_name("S")->check(seconds_up_to(86400));
        app.add_option("--link", link,
                       "also make PATH a symbolic link to the terminal (an existing PATH must be such a link; "
                       "it is replaced)")
            ->type_name("PATH");
        app.add_option("--fault", faults,
                       "none|silent|exception|crc|slow|absurd|double (none), for every slave, or SLAVE=F for one; "
                       "repeatable")
            ->type_name("F")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    FaultPlan plan;
                    return add_fault(text, plan) ? ""
                                                 : "'" + text + "' (none, silent, exception, crc, slow, absurd or double, "
                                                   "or SLAVE=one of them)";
                },
                ""));
        app.add_option("--fault-file", options.fault_file,
                       "read the faults from FILE before every request: F or SLAVE=F, one a line")
            ->type_name("FILE");
        app.add_option("--slow-ms", options.slow_ms, "delay of the slow fault (1500)")
            ->type_name("MS")->check(whole_number(0, 600000));
        app.add_option("--double-ms", options.double_ms,
                       "how long after its answer the double fault sends the same answer again (50)")
            ->type_name("MS")->check(whole_number(0, 600000));
        std::string tcp_listen, rtu_listen;
        auto* tcp = app.add_option("--tcp-listen", tcp_listen,
                                   "serve Modbus TCP on [HOST:]PORT (127.0.0.1) instead of a terminal, as a gateway; "
                                   "one connection at a time, port 0 for any free one")
                        ->type_name("[HOST:]PORT");
        auto* rtu = app.add_option("--rtu-over-tcp-listen", rtu_listen,
                                   "serve RTU frames over TCP on [HOST:]PORT (127.0.0.1) instead of a terminal")
                        ->type_name("[HOST:]PORT");
        tcp->excludes(rtu);
        try {
            if (!parse_command_line(app, argc, argv)) return static_cast<int>(kExitOk);
            options.speed = speed;
            if (!word_order.empty()) options.order = *parse_word_order(word_order);
            for (const std::string& fault : faults) add_fault(fault, options.faults);
            // Given at all, the list must name slaves: an empty one is refused.
            if (slave_option->count() > 0) options.slaves = parse_slave_list(slaves);
            const std::string& listen = !tcp_listen.empty() ? tcp_listen : rtu_listen;
            if (tcp->count() > 0 || rtu->count() > 0) {
                options.access = tcp->count() > 0 ? MeterAccess::Tcp : MeterAccess::RtuOverTcp;
                const char* option = tcp->count() > 0 ? "--tcp-listen" : "--rtu-over-tcp-listen";
                if (!link.empty()) throw UsageError(std::string("--link and ") + option + " exclude each other");
                const bool port_only = !listen.empty() && listen.find_first_not_of("0123456789") == std::string::npos;
                SerialSettings where;
                try {
                    parse_endpoint(port_only ? "127.0.0.1:" + listen : listen, true, where);
                } catch (const std::invalid_argument& e) {
                    // Port 0 (any free one) is refused as a gateway's address, not as a place to listen.
                    if (listen != "0") throw UsageError(std::string("bad value for ") + option + ": " + e.what());
                    where.host = "127.0.0.1";
                    where.port = 0;
                }
                options.listen_host = where.host;
                options.listen_port = where.port;
            }
        } catch (const UsageError& e) {
            throw Failure(kExitBadOption, e.what());
        } catch (const std::invalid_argument& e) {
            throw Failure(kExitBadOption, e.what());
        }
        try {
            MeterServer server(options);
            if (!link.empty()) make_pty_link(server.device_path(), link);
            install_stop_signals();
            signal(SIGPIPE, SIG_IGN);  // a master that hangs up ends its connection, not the program
            std::cout << server.device_path() << std::endl;
            server.serve(stop_requested());
            if (!link.empty()) unlink(link.c_str());
        } catch (const std::exception& e) {
            throw Failure(kExitBadOption, e.what());
        }
        return static_cast<int>(kExitOk);
    });
}
