// pondrel-host's command line: what each option sets, and every refusal as
// one line naming the option.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options.h"

using namespace pondrel;

namespace {

std::optional<HostOptions> parse(std::vector<std::string> args) {
    args.insert(args.begin(), "pondrel-host");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(HostOptions, EachOptionSetsWhatItNames) {
    const auto defaults = parse({});
    ASSERT_TRUE(defaults.has_value());
    EXPECT_EQ(defaults->line.device, "");
    EXPECT_EQ(defaults->line.timeout_ms, 500);
    EXPECT_EQ(defaults->interval_s, 1.0);
    EXPECT_EQ(defaults->simulated_line_baud, 0);

    const auto serial = parse({"--device", "/dev/ttyUSB0", "--baud", "19200", "--parity", "E", "--data-bits", "7",
                               "--stop-bits", "2", "--slave", "12", "--timeout", "250", "--connect-pause", "200",
                               "--request-pause", "20", "--word-order", "CDAB", "--rounds", "5", "--max-failures",
                               "3", "--interval", "0.25", "--format", "table", "--history", "h.db", "--keep-days",
                               "30", "--setting", "meter.json"});
    ASSERT_TRUE(serial.has_value());
    EXPECT_EQ(serial->line.transport, Transport::Serial);
    EXPECT_EQ(serial->line.device, "/dev/ttyUSB0");
    EXPECT_EQ(serial->line.baud, 19200);
    EXPECT_EQ(serial->line.parity, 'E');
    EXPECT_EQ(serial->line.data_bits, 7);
    EXPECT_EQ(serial->line.stop_bits, 2);
    EXPECT_EQ(serial->line.slave, 12);
    EXPECT_EQ(serial->line.timeout_ms, 250);
    EXPECT_EQ(serial->line.connect_pause_ms, 200);
    EXPECT_EQ(serial->line.request_pause_ms, 20);
    EXPECT_EQ(serial->word_order, WordOrder::CDAB);
    EXPECT_EQ(serial->rounds, 5);
    EXPECT_EQ(serial->max_failures, 3);
    EXPECT_EQ(serial->interval_s, 0.25);
    EXPECT_EQ(serial->format, OutputFormat::Table);
    EXPECT_EQ(serial->history, "h.db");
    EXPECT_EQ(serial->keep_days, 30);
    EXPECT_EQ(serial->setting, "meter.json");
    EXPECT_EQ(serial->simulated_line_baud, 0);  // a real line is never paced

    const auto tcp = parse({"--tcp", "[::1]:1502", "--word-order", "auto", "--once"});
    ASSERT_TRUE(tcp.has_value());
    EXPECT_EQ(tcp->line.transport, Transport::Tcp);
    EXPECT_EQ(tcp->line.host, "::1");
    EXPECT_EQ(tcp->line.port, 1502);
    EXPECT_TRUE(tcp->word_order_auto);
    EXPECT_TRUE(tcp->once);

    const auto gateway = parse({"--rtu-over-tcp", "gw:4001", "--scan", "3-9"});
    ASSERT_TRUE(gateway.has_value());
    EXPECT_EQ(gateway->line.transport, Transport::RtuOverTcp);
    EXPECT_EQ(gateway->line.port, 4001);
    EXPECT_EQ(gateway->scan, std::make_pair(3, 9));
    EXPECT_EQ(gateway->line.timeout_ms, 100);  // --scan's short default

    EXPECT_EQ(parse({"--baud", "2400"})->simulated_line_baud, 2400);  // the simulated line, paced
    EXPECT_EQ(parse({"--tcp", "gw"})->line.port, 502);
    EXPECT_EQ(parse({"--scan", "5"})->scan, std::make_pair(5, 5));
}

TEST(HostOptions, EveryRefusalIsOneLineNamingTheOption) {
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus' (see --help)"},
        {{"extra"}, "unexpected argument 'extra'"},
        {{"--rounds"}, "option --rounds needs a value"},
        {{"--baud", "fast"}, "bad value for --baud: 'fast' (a whole number from 50 to 4000000)"},
        {{"--baud", "9600.5"}, "bad value for --baud: '9600.5'"},
        {{"--slave", "0"}, "bad value for --slave: '0' (a whole number from 1 to 247)"},
        {{"--slave", "248"}, "bad value for --slave"},
        {{"--timeout", "0"}, "bad value for --timeout"},
        {{"--connect-pause", "-1"}, "bad value for --connect-pause"},
        {{"--data-bits", "9"}, "bad value for --data-bits"},
        {{"--stop-bits", "3"}, "bad value for --stop-bits"},
        {{"--parity", "X"}, "bad value for --parity: 'X' (N, E or O)"},
        {{"--word-order", "ABDC"}, "bad value for --word-order: 'ABDC' (ABCD, CDAB, BADC, DCBA or auto)"},
        {{"--rounds", "0"}, "bad value for --rounds"},
        {{"--max-failures", "0"}, "bad value for --max-failures"},
        {{"--keep-days", "0"}, "bad value for --keep-days"},
        {{"--interval", "-1"}, "bad value for --interval: '-1' (seconds, from 0 to 86400)"},
        {{"--interval", "nan"}, "bad value for --interval"},
        {{"--format", "xml"}, "bad value for --format: 'xml' (json, table, influx or readings)"},
        {{"--device", ""}, "bad value for --device: an empty path"},
        {{"--history", ""}, "bad value for --history: an empty path"},
        {{"--tcp", ""}, "bad value for --tcp: '' (no host)"},
        {{"--tcp", "gw:70000"}, "bad value for --tcp: '70000'"},
        {{"--rtu-over-tcp", "gw"}, "bad value for --rtu-over-tcp: 'gw' (HOST:PORT)"},
        {{"--scan", "10-1"}, "bad value for --scan: '10-1' (FROM-TO, FROM not above TO)"},
        {{"--scan", "1..247"}, "bad value for --scan: '1..247' (FROM-TO, addresses from 1 to 247, e.g. 1-247 or 5)"},
        {{"--retries", "11"}, "--retries"},
        {{"--device", "/dev/null", "--tcp", "gw"}, "give one of --device, --tcp and --rtu-over-tcp"},
        {{"--once", "--rounds", "2"}, "--once and --rounds exclude each other"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        try {
            parse(c.args);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(c.says), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}
