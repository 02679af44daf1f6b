// Stored rounds into Debian's real InfluxDB (version 1) on a loopback port:
// through an outage of the server and a kill of pondrel-host, every row of
// the history is in InfluxDB once per series and time.
#include <csignal>
#include <fstream>
#include <map>
#include <memory>

#include <json/json.h>

#include "host_program_fixture.h"
#include "loopback_listener.h"

using namespace host_programs;

namespace {

std::string free_port() { return std::to_string(testing_support::free_loopback_port()); }

struct Influx {
    explicit Influx(const std::string& dir) : port(free_port()), conf(dir + "/influxdb.conf") {
        std::ofstream(conf) << "reporting-disabled = true\nbind-address = \"127.0.0.1:" << free_port() << "\"\n"
                            << "[meta]\ndir = \"" << dir << "/meta\"\n"
                            << "[data]\ndir = \"" << dir << "/data\"\nwal-dir = \"" << dir
                            << "/wal\"\nquery-log-enabled = false\n"
                            << "[http]\nbind-address = \"127.0.0.1:" << port << "\"\nlog-enabled = false\n"
                            << "[monitor]\nstore-enabled = false\n";
        start();
    }
    void start() {
        process = std::make_unique<ChildProcess>(std::vector<std::string>{"influxd", "-config", conf});
        EXPECT_TRUE(process->wait_for_error("Listening on HTTP", 60s)) << process->error_text();
    }
    void stop() {
        process->send_signal(SIGTERM);
        process->wait(30s);
        process.reset();
    }
    Json::Value query(const std::string& q) {
        const auto run = run_program({"curl", "-sS", "--max-time", "20", "-XPOST", "http://127.0.0.1:" + port +
                                      "/query?db=site", "--data-urlencode", "q=" + q},
                                     30s);
        std::string text;
        for (const std::string& line : run.lines) text += line;
        Json::Value value;
        Json::Reader().parse(text, value);
        return value;
    }
    std::string port;
    std::string conf;
    std::unique_ptr<ChildProcess> process;
};

class InfluxTest : public HostProgramTest {};

}  // namespace

TEST_F(InfluxTest, EveryStoredRoundReachesInfluxDbOnceThroughAnOutageAndAKill) {
    if (run_program({"sh", "-c", "command -v influxd"}, 10s).code != 0) GTEST_SKIP() << "no influxd";
    Influx influx(dir_);
    influx.query("CREATE DATABASE site");
    Meter meters({"--slave", "1-2"});
    ASSERT_FALSE(meters.path.empty());
    const std::string site = file("site.toml",
                                  "[history]\nfile = \"" + history_ + "\"\n[influxdb]\nurl = \"http://127.0.0.1:" +
                                      influx.port + "\"\ndatabase = \"site\"\n[[line]]\nname = \"bus\"\ndevice = \"" +
                                      meters.path + "\"\n[[meter]]\nname = \"m1\"\nline = \"bus\"\nslave = 1\n" +
                                      "interval = 0\n[[meter]]\nname = \"m 2,x\"\nline = \"bus\"\nslave = 2\n" +
                                      "interval = 0\n");
    // Rounds many to a second: each keeps its own time.
    const auto first = run_program({kHost, "--config", site, "--rounds", "30"}, 60s);
    ASSERT_EQ(first.code, 0) << first.errors;

    // The server goes away; rounds go on into the history; pondrel-host is killed.
    influx.stop();
    {
        ChildProcess host({kHost, "--config", site});
        for (int n = 0; n < 40; ++n) ASSERT_TRUE(host.read_line(30s)) << host.error_text();
        EXPECT_TRUE(host.wait_for_error("InfluxDB http://127.0.0.1:" + influx.port + " database site: cannot be reached",
                                        30s))
            << host.error_text();
        host.send_signal(SIGKILL);
        host.wait(10s);
    }
    // Back: what waited goes first, then the new rounds.
    influx.start();
    const auto last = run_program({kHost, "--config", site, "--rounds", "20"}, 60s);
    ASSERT_EQ(last.code, 0) << last.errors;

    std::map<std::string, std::size_t> stored;
    for (const Row& row : history_rows(history_)) ++stored[row.meter];
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_GE(stored["m1"], 30u + 20u + 20u);
    for (const auto& [meter, rows] : stored) {
        SCOPED_TRACE(meter);
        const Json::Value answer =
            influx.query("SELECT count(voltage_V) FROM pondrel WHERE meter = '" + meter + "'");
        EXPECT_EQ(answer["results"][0]["series"][0]["values"][0][1].asUInt64(), rows) << answer.toStyledString();
    }
}
