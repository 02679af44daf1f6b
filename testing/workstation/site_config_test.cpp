// A site's configuration file: what it sets, the defaults, every kind of
// error with its line, and the printed configuration reading back the same.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "outputs.h"
#include "site_config.h"
#include "temp_folder.h"

using namespace pondrel;

namespace {

class SiteConfigTest : public ::testing::Test {
protected:

    SiteConfig read(const std::string& text) {
        std::ofstream(path_, std::ios::trunc) << text;
        return read_site_config(path_);
    }
    std::vector<std::string> errors_of(const std::string& text) {
        try {
            read(text);
        } catch (const ConfigErrors& errors) {
            return errors.lines;
        }
        return {};
    }

    const testing_support::TempFolder folder_{"config-test"};
    const std::string dir_ = folder_.path();
    const std::string path_ = dir_ + "/site.toml";
};

const char kLine[] = "[[line]]\nname = \"bus\"\ndevice = \"/dev/ttyUSB0\"\n";

}  // namespace

TEST_F(SiteConfigTest, ReadsLinesAndMetersWithTheirDefaults) {
    const SiteConfig config = read(R"(plugin = "/opt/p.so"
[history]
file = "/var/lib/pondrel/history.db"
keep_days = 90

[[line]]
name = "bus"
device = "/dev/ttyUSB0"
baud = 19200
parity = "E"

[[line]]
name = "gw"
tcp = "10.0.0.5:1502"
timeout_ms = 800

[[meter]]
name = "kitchen"
line = "bus"
slave = 3
word_order = "CDAB"
interval = 0.5
setting = { appSetting = { b_mode = 1 } }

[[meter]]
name = "workshop"
line = "gw"
slave = 3
data_id = 40
word_order = "auto"
)");
    EXPECT_EQ(config.plugin, "/opt/p.so");
    EXPECT_EQ(config.history_file, "/var/lib/pondrel/history.db");
    EXPECT_EQ(config.keep_days, 90);
    ASSERT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.lines[0].settings.transport, Transport::Serial);
    EXPECT_EQ(config.lines[0].settings.baud, 19200);
    EXPECT_EQ(config.lines[0].settings.parity, 'E');
    EXPECT_EQ(config.lines[0].settings.timeout_ms, 500);
    EXPECT_EQ(config.lines[1].settings.transport, Transport::Tcp);
    EXPECT_EQ(config.lines[1].settings.host, "10.0.0.5");
    EXPECT_EQ(config.lines[1].settings.port, 1502);
    EXPECT_EQ(config.lines[1].settings.timeout_ms, 800);
    ASSERT_EQ(config.meters.size(), 2u);
    const MeterConfig& kitchen = config.meters[0];
    EXPECT_EQ(kitchen.data_id, 1u);  // its position
    EXPECT_EQ(kitchen.word_order, WordOrder::CDAB);
    EXPECT_EQ(kitchen.interval_s, 0.5);
    EXPECT_EQ(kitchen.retry_max_s, 30.0);
    EXPECT_EQ(kitchen.setting["appSetting"]["b_mode"].asInt(), 1);
    const MeterConfig& workshop = config.meters[1];
    EXPECT_EQ(workshop.data_id, 40u);
    EXPECT_TRUE(workshop.word_order_auto);
    EXPECT_EQ(workshop.interval_s, 1.0);

    // What --check prints reads back as the same configuration.
    const std::string printed = site_config_toml(config);
    const SiteConfig again = read(printed);
    EXPECT_EQ(site_config_toml(again), printed);
    ASSERT_EQ(again.meters.size(), 2u);
    EXPECT_TRUE(again.meters[0] == kitchen) << printed;
    EXPECT_TRUE(again.lines[1] == config.lines[1]) << printed;
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

std::string many_meters(int count) {
    std::string all;
    for (int i = 1; i <= count; ++i) {
        all += "[[meter]]\nname = \"m" + std::to_string(i) + "\"\nline = \"bus" + std::to_string(i % 16) +
               "\"\nslave = " + std::to_string(1 + i / 16) + "\n";
    }
    for (int line = 0; line < 16; ++line) {
        all += "[[line]]\nname = \"bus" + std::to_string(line) + "\"\ndevice = \"/dev/ttyUSB" + std::to_string(line) + "\"\n";
    }
    return all;
}

TEST_F(SiteConfigTest, EachErrorIsReportedWithItsLine) {
    const std::string meter = "[[meter]]\nname = \"m\"\nline = \"bus\"\n";
    const struct {
        const char* name;
        std::string text;
        std::string says;  // "LINE: message"
    } cases[] = {
        {"syntax", "[[line]\nname = 1\n", "1: "},
        {"unknown section", std::string(kLine) + "[meters]\nx = 1\n", "4: unknown section [meters]"},
        {"unknown top key", "colour = \"red\"\n", "1: unknown key 'colour'"},
        {"unknown line key", std::string(kLine) + "speed = 9600\n", "4: unknown key 'speed' in [[line]]"},
        {"unknown meter key", std::string(kLine) + meter + "adress = 3\n", "7: unknown key 'adress' in [[meter]]"},
        {"wrong type", std::string(kLine) + "baud = \"9600\"\n", "4: 'baud' must be a whole number"},
        {"wrong type of text", std::string(kLine) + meter + "word_order = 1\n", "7: 'word_order' must be a text"},
        {"missing name", "[[line]]\ndevice = \"/dev/ttyUSB0\"\n", "1: [[line]] has no 'name'"},
        {"missing line of meter", std::string(kLine) + "[[meter]]\nname = \"m\"\n", "4: [[meter]] has no 'line'"},
        {"no transport", "[[line]]\nname = \"bus\"\n", "1: line 'bus' has none of 'device', 'tcp' and 'rtu_over_tcp'"},
        {"two transports", std::string(kLine) + "tcp = \"gw\"\n", "4: line 'bus' has more than one of"},
        {"bad endpoint", "[[line]]\nname = \"gw\"\nrtu_over_tcp = \"gw\"\n", "3: 'rtu_over_tcp' must be HOST:PORT"},
        {"slave out of range", std::string(kLine) + meter + "slave = 300\n", "7: 'slave' must be from 1 to 247, not 300"},
        {"parity", std::string(kLine) + "parity = \"X\"\n", "4: 'parity' must be 'N', 'E' or 'O', not 'X'"},
        {"interval", std::string(kLine) + meter + "interval = -1\n", "7: 'interval' must be from 0 to 86400 seconds"},
        {"timeout", std::string(kLine) + "timeout_ms = 0\n", "4: 'timeout_ms' must be from 1 to 60000, not 0"},
        {"line named twice", std::string(kLine) + kLine, "4: line name 'bus' is used twice (first on line 1)"},
        {"meter named twice", std::string(kLine) + meter + "slave = 1\n" + meter + "slave = 2\n",
         "8: meter name 'm' is used twice (first on line 4)"},
        {"data id twice",
         std::string(kLine) + "[[meter]]\nname = \"a\"\nline = \"bus\"\nslave = 1\ndata_id = 2\n" +
             "[[meter]]\nname = \"b\"\nline = \"bus\"\nslave = 2\n",
         "9: data_id 2 of meter 'b' is used twice (first on line 8)"},
        {"missing line",
         std::string(kLine) + "[[meter]]\nname = \"m\"\nline = \"bus2\"\n", "6: meter 'm' names line 'bus2', which no"},
        {"one slave twice on a line",
         std::string(kLine) + "[[meter]]\nname = \"a\"\nline = \"bus\"\nslave = 4\n" +
             "[[meter]]\nname = \"b\"\nline = \"bus\"\nslave = 4\n",
         "11: meters 'a' and 'b' both have slave 4 on line 'bus'"},
        {"setting's data id", std::string(kLine) + meter + "data_id = 5\nsetting = { data_id = 6 }\n",
         "8: the setting's data_id 6 disagrees with the meter's data_id 5"},
        {"setting not a table", std::string(kLine) + meter + "setting = 3\n", "7: 'setting' must be a table"},
        {"keep days", "[history]\nkeep_days = 0\n", "2: 'keep_days' must be from 1 to 100000, not 0"},
        {"minutes shorter than rows", "[history]\nkeep_days = 90\nkeep_minutes_days = 30\n",
         "3: 'keep_minutes_days' must be at least 'keep_days' (90)"},
        {"minutes without rows' limit", "[history]\nkeep_minutes_days = 30\n",
         "2: 'keep_minutes_days' must be at least 'keep_days' (for ever when not given)"},
        {"statistics shorter than rows", "[history]\nkeep_days = 90\nkeep_statistics_days = 30\n",
         "3: 'keep_statistics_days' must be 0 (for ever) or at least 'keep_days' (90)"},
        {"listen without port", "[prometheus]\nlisten = \"localhost\"\n", "2: 'listen' must be HOST:PORT"},
        {"listen port", "[prometheus]\nlisten = \"[::1]:70000\"\n", "2: 'listen' must be HOST:PORT"},
        {"web listen", "[web]\nlisten = \"localhost:http\"\n", "2: 'listen' must be HOST:PORT or :PORT"},
        {"web without listen", "[web]\n", "1: [web] has no 'listen'"},
        {"empty host name", "[web]\nlisten = \":8080\"\nhosts = [\"cabinet\", \"\"]\n",
         "3: 'hosts' must not hold an empty name"},
        {"web not a section", "web = 8080\n", "1: 'web' must be a section [web]"},
        {"broker scheme", "[mqtt]\nbroker = \"tcp://broker\"\n", "2: 'broker' must be mqtt://HOST[:PORT]"},
        {"broker path", "[mqtt]\nbroker = \"mqtt://broker:1883/x\"\n", "2: 'broker' 'mqtt://broker:1883/x': the port"},
        {"no broker", "[mqtt]\nqos = 1\n", "1: [mqtt] has no 'broker'"},
        {"missing password file", "[mqtt]\nbroker = \"mqtt://b\"\nusername = \"u\"\npassword_file = \"/nonexistent\"\n",
         "4: cannot read 'password_file' /nonexistent: No such file or directory"},
        {"missing CA file", "[mqtt]\nbroker = \"mqtts://b\"\nca_file = \"/nonexistent/ca.pem\"\n",
         "3: cannot read 'ca_file' /nonexistent/ca.pem"},
        {"CA without TLS", "[mqtt]\nbroker = \"mqtt://b\"\nca_file = \"/etc/hostname\"\n", "3: 'ca_file' needs an mqtts://"},
        {"wildcard prefix", "[mqtt]\nbroker = \"mqtt://b\"\ntopic_prefix = \"a/#\"\n", "3: 'topic_prefix' must be topic"},
        {"qos", "[mqtt]\nbroker = \"mqtt://b\"\nqos = 3\n", "3: 'qos' must be from 0 to 2, not 3"},
        {"no meter", kLine, " no [[meter]]: a site polls at least one meter"},
        {"name too long", std::string(kLine) + "[[meter]]\nname = \"" + std::string(256, 'm') + "\"\nline = \"bus\"\n",
         "5: 'name' must be at most 255 bytes, not 256"},
        {"NUL in a name", "[[line]]\nname = \"a\\u0000b\"\ndevice = \"/dev/ttyUSB0\"\n",
         "2: 'name' must not hold control characters"},
        {"line feed in a name", std::string(kLine) + "[[meter]]\nname = \"a\\nb\"\nline = \"bus\"\n",
         "5: 'name' must not hold control characters"},
        {"setting nested too deep",
         std::string(kLine) + meter + "setting = " + repeated("{ a = ", 65) + "1" + repeated(" }", 65) + "\n",
         "7: 'setting' is nested deeper than 64 levels"},
        {"circuits not a list", std::string(kLine) + meter + "circuits = \"Kitchen\"\n",
         "7: 'circuits' must be a list of names"},
        {"19 circuits", std::string(kLine) + meter + "circuits = [" + repeated("\"a\", ", 18) + "\"a\"]\n",
         "7: 'circuits' names at most 18, not 19"},
        {"a circuit that is a number", std::string(kLine) + meter + "circuits = [\"a\", 2]\n",
         "7: 'circuits' entry 2 must be a name in quotes"},
        {"a tab in a circuit", std::string(kLine) + meter + "circuits = [\"a\\tb\"]\n",
         "7: 'circuits' entry 1 must not hold control characters"},
        {"group of an unknown meter",
         std::string(kLine) + meter + "[[group]]\nname = \"Flat 2\"\ncircuits = [\"m:1-6\", \"x:3\"]\n",
         "9: group circuits 'x:3' name meter 'x', which no [[meter]] defines ('m')"},
        {"group circuit out of range", std::string(kLine) + meter + "[[group]]\nname = \"F\"\ncircuits = [\"m:0-19\"]\n",
         "9: group circuits 'm:0-19' names circuit 0-19; a meter has circuits 1 to 18"},
        {"group circuits not numbers", std::string(kLine) + meter + "[[group]]\nname = \"F\"\ncircuits = [\"m:one\"]\n",
         "9: group circuits 'm:one' names circuits as numbers"},
        {"group named twice",
         std::string(kLine) + meter + "[[group]]\nname = \"F\"\ncircuits = [\"m:1\"]\n[[group]]\nname = \"F\"\n" +
             "circuits = [\"m:2\"]\n",
         "10: group name 'F' is used twice (first on line 7)"},
        {"unknown tariff", std::string(kLine) + meter + "tariff = \"night\"\n",
         "4: meter 'm' names tariff 'night', which no [[tariff]] defines (none)"},
        {"unknown time zone", "[site]\ntime_zone = \"Mars/Olympus\"\n", "2: 'time_zone': unknown time zone 'Mars/Olympus'"},
        {"tariff without price", "[[tariff]]\nname = \"t\"\ncurrency = \"EUR\"\n", "1: [[tariff]] has no 'price_per_kWh'"},
        {"tariff window days",
         "[[tariff]]\nname = \"t\"\ncurrency = \"EUR\"\nprice_per_kWh = 0.3\n[[tariff.window]]\ndays = \"Mon-Fry\"\n"
         "from = \"07:00\"\nto = \"21:00\"\nprice_per_kWh = 0.5\n",
         "6: 'days' must be days such as \"Mon-Fri\" or \"Sat,Sun\", not 'Mon-Fry'"},
        {"tariff from twice",
         "[[tariff]]\nname = \"t\"\ncurrency = \"EUR\"\nprice_per_kWh = 0.3\n[[tariff]]\nname = \"t\"\ncurrency = \"EUR\"\n"
         "price_per_kWh = 0.4\n",
         "5: tariff 't' from the start is given twice (first on line 1)"},
        {"influxdb url", "[influxdb]\nurl = \"udp://db:8089\"\ndatabase = \"site\"\n",
         "2: 'url' must be http://HOST[:PORT] or https://HOST[:PORT], not 'udp://db:8089'"},
        {"influxdb without database", "[influxdb]\nurl = \"http://db\"\n", "2: [influxdb] of version 1 has no 'database'"},
        {"influxdb version 2 without bucket",
         "[influxdb]\nurl = \"http://db\"\nversion = 2\norg = \"home\"\ntoken_file = \"/etc/hostname\"\n",
         "3: [influxdb] of version 2 has no 'bucket'"},
        {"influxdb keys of the other version", "[influxdb]\nurl = \"http://db\"\ndatabase = \"site\"\nbucket = \"b\"\n",
         "4: 'bucket' is for version = 2"},
        {"influxdb token file", "[influxdb]\nurl = \"http://db\"\nversion = 2\norg = \"o\"\nbucket = \"b\"\n"
                                "token_file = \"/nonexistent/token\"\n",
         "6: cannot read 'token_file' /nonexistent/token"},
        {"influxdb CA without TLS", "[influxdb]\nurl = \"http://db\"\ndatabase = \"s\"\nca_file = \"/etc/hostname\"\n",
         "4: 'ca_file' needs an https:// url"},
        {"too many meters", std::string(kLine) + many_meters(2049), " 2049 meters: a site holds at most 2048"},
        {"one topic level", "[mqtt]\nbroker = \"mqtt://b\"\n" + std::string(kLine) +
             "[[meter]]\nname = \"a b\"\nline = \"bus\"\nslave = 1\n[[meter]]\nname = \"a/b\"\nline = \"bus\"\nslave = 2\n",
         " meters 'a b' and 'a/b' would publish to one MQTT topic level 'a_b'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto errors = errors_of(c.text);
        ASSERT_FALSE(errors.empty());
        bool found = false;
        for (const std::string& line : errors) found = found || line.find(path_ + ":" + c.says) == 0;
        EXPECT_TRUE(found) << errors.front();
    }
}

TEST_F(SiteConfigTest, CircuitsAreNamedAsGivenAndNumberedElseAndWrittenBack) {
    const SiteConfig config = read(std::string(kLine) + "[[meter]]\nname = \"m\"\nline = \"bus\"\n"
                                                        "circuits = [\"Kitchen\", \"\", \"Flat 2 \u00e9\"]\n");
    const std::vector<std::string> names = circuit_names_of(config.meters.at(0));
    ASSERT_EQ(names.size(), 18u);
    EXPECT_EQ(names[0], "Kitchen");
    EXPECT_EQ(names[1], "circuit 2");
    EXPECT_EQ(names[2], "Flat 2 \xC3\xA9");
    EXPECT_EQ(names[17], "circuit 18");
    // What --check prints reads back the same.
    const SiteConfig again = read(site_config_toml(config));
    EXPECT_EQ(again.meters.at(0).circuit_names, config.meters.at(0).circuit_names);
}

TEST(MinutesDays, KeptAsGivenElseAtLeast35DaysElseAsLongAsTheRows) {
    const struct {
        std::optional<long> keep_days, keep_minutes_days, expected;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt}, {7, std::nullopt, 35}, {90, std::nullopt, 90}, {7, 400, 400},
    };
    for (const auto& c : cases) {
        SiteConfig config;
        config.keep_days = c.keep_days;
        config.keep_minutes_days = c.keep_minutes_days;
        EXPECT_EQ(minutes_days(config), c.expected);
    }
}

TEST(StaleAfter, OneRuleFromTheIntervalAndTheLinesTimeoutUnlessGiven) {
    LineConfig line;
    line.settings.timeout_ms = 500;
    const struct {
        double interval_s;
        std::optional<double> given;
        double stale_after_s;
    } cases[] = {{1, std::nullopt, 3.5}, {90, std::nullopt, 181.5}, {0, std::nullopt, 1.5}, {90, 30.0, 30}};
    for (const auto& c : cases) {
        MeterConfig meter;
        meter.interval_s = c.interval_s;
        meter.stale_after_s = c.given;
        EXPECT_DOUBLE_EQ(stale_after_s(meter, line), c.stale_after_s) << c.interval_s;
        // Judged the same wherever it is judged.
        const MeterIdentity identity{"m", "bus", 1, 1, "m", stale_after_s(meter, line)};
        const auto just = std::chrono::duration<double>(c.stale_after_s);
        EXPECT_FALSE(is_stale(identity, std::chrono::duration_cast<std::chrono::steady_clock::duration>(just)));
        EXPECT_TRUE(is_stale(identity, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                           just + std::chrono::milliseconds(1))));
    }
}

TEST(WebListen, TheHostDefaultsToLoopback) {
    const struct {
        const char* given;
        const char* listen;
    } cases[] = {{"8080", "127.0.0.1:8080"}, {":8080", "127.0.0.1:8080"}, {"0.0.0.0:80", "0.0.0.0:80"},
                 {"[::1]:8080", "[::1]:8080"}, {"site.example:8080", "site.example:8080"}};
    for (const auto& c : cases) EXPECT_EQ(web_listen(c.given), c.listen) << c.given;
    for (const char* bad : {"", ":", "host", ":0", "[::1", "a:b"}) EXPECT_THROW(web_listen(bad), std::invalid_argument) << bad;
}

TEST_F(SiteConfigTest, ReadsTheMonitoringSectionsWithTheirDefaults) {
    std::ofstream(dir_ + "/password") << "s3cret\nignored\n";
    const SiteConfig config = read("[prometheus]\nlisten = \"0.0.0.0:9100\"\n[mqtt]\nbroker = \"mqtts://[fd00::1]\"\n"
                                   "username = \"pondrel\"\npassword_file = \"" + dir_ + "/password\"\n" + kLine +
                                   "[[meter]]\nname = \"m\"\nline = \"bus\"\n");
    ASSERT_TRUE(config.prometheus && config.mqtt);
    EXPECT_EQ(config.prometheus->listen, "0.0.0.0:9100");
    const MqttConfig& m = *config.mqtt;
    EXPECT_TRUE(m.tls);
    EXPECT_EQ(m.host, "fd00::1");
    EXPECT_EQ(m.port, 8883);
    EXPECT_EQ(m.password, "s3cret");
    EXPECT_EQ(m.topic_prefix, "pondrel");
    EXPECT_EQ(m.discovery_prefix, "homeassistant");
    EXPECT_EQ(m.qos, 1);
    EXPECT_EQ(m.client_id.rfind("pondrel-", 0), 0u);
    // Printed back: the password file, never the password.
    const std::string printed = site_config_toml(config);
    EXPECT_EQ(printed.find("s3cret"), std::string::npos);
    std::ofstream(path_, std::ios::trunc) << printed;
    EXPECT_EQ(*read_site_config(path_).mqtt, m);
    // Discovery off; the default port of plain MQTT.
    const SiteConfig plain = read("[mqtt]\nbroker = \"mqtt://broker\"\ndiscovery_prefix = \"\"\n" + std::string(kLine) +
                                  "[[meter]]\nname = \"m\"\nline = \"bus\"\n");
    EXPECT_EQ(plain.mqtt->port, 1883);
    EXPECT_EQ(plain.mqtt->discovery_prefix, "");
}

TEST_F(SiteConfigTest, EveryErrorOfAFileIsReportedInFileOrder) {
    const auto errors = errors_of(std::string(kLine) + "baud = 1\n[[meter]]\nname = \"m\"\nline = \"nowhere\"\n"
                                                      "slave = 0\ncolour = 1\n");
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0].find(path_ + ":4: 'baud'"), 0u) << errors[0];
    EXPECT_EQ(errors[1].find(path_ + ":7: meter 'm' names line 'nowhere'"), 0u) << errors[1];
    EXPECT_EQ(errors[2].find(path_ + ":8: 'slave'"), 0u) << errors[2];
    EXPECT_EQ(errors[3].find(path_ + ":9: unknown key 'colour'"), 0u) << errors[3];
}

TEST_F(SiteConfigTest, AFileThatIsNotARegularFileIsRefusedWithoutReading) {
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir_ + "/fifo", dir_, dir_ + "/missing.toml"}) {
        try {
            read_site_config(path);
            ADD_FAILURE() << path;
        } catch (const ConfigErrors& errors) {
            EXPECT_EQ(errors.lines.front().find(path + ": "), 0u) << errors.lines.front();
        }
    }
}

TEST_F(SiteConfigTest, TheServicesConfigurationIsSound) {
    const SiteConfig config = read_site_config(PONDREL_SERVICE_CONFIG);
    EXPECT_EQ(config.lines.size(), 1u);
    EXPECT_EQ(config.meters.size(), 2u);
    EXPECT_EQ(config.history_file, "/var/lib/pondrel/history.db");
}

TEST_F(SiteConfigTest, TheUsersGuidesExampleIsSound) {
    const SiteConfig config = read_site_config(PONDREL_SITE_EXAMPLE);
    EXPECT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.meters.size(), 3u);
}

TEST_F(SiteConfigTest, GroupsTariffsAndTheTimeZoneAreReadAndWrittenBack) {
    const SiteConfig config = read(std::string(kLine) +
                                   "[site]\ntime_zone = \"Europe/Berlin\"\n"
                                   "[[meter]]\nname = \"m1\"\nline = \"bus\"\nslave = 1\ntariff = \"home\"\n"
                                   "[[meter]]\nname = \"m2\"\nline = \"bus\"\nslave = 2\n"
                                   "[[group]]\nname = \"Flat 2\"\ncircuits = [\"m1:1-3,5\", \"m2:18\"]\n"
                                   "[[tariff]]\nname = \"home\"\ncurrency = \"EUR\"\nprice_per_kWh = 0.3\n"
                                   "demand_price_per_kW = 12\n"
                                   "[[tariff.window]]\ndays = \"Sat,Sun\"\nfrom = \"22:00\"\nto = \"06:00\"\n"
                                   "price_per_kWh = 0.2\n");
    EXPECT_EQ(config.time_zone, "Europe/Berlin");
    ASSERT_EQ(config.groups.size(), 1u);
    const std::vector<std::pair<std::string, int>> circuits = {{"m1", 1}, {"m1", 2}, {"m1", 3}, {"m1", 5}, {"m2", 18}};
    EXPECT_EQ(config.groups[0].circuits, circuits);
    ASSERT_EQ(config.tariffs.size(), 1u);
    ASSERT_EQ(config.tariffs[0].windows.size(), 1u);
    EXPECT_EQ(config.tariffs[0].windows[0].day_mask, 0x60u);
    EXPECT_EQ(config.tariffs[0].windows[0].from_minute, 22 * 60);
    EXPECT_EQ(config.tariffs[0].windows[0].to_minute, 6 * 60);
    const SiteConfig again = read(site_config_toml(config));
    EXPECT_EQ(again.time_zone, config.time_zone);
    EXPECT_EQ(again.groups.at(0).circuits, circuits);
    EXPECT_EQ(again.meters.at(0).tariff, "home");
    EXPECT_EQ(again.tariffs.at(0).windows.at(0).day_mask, 0x60u);
    EXPECT_EQ(again.tariffs.at(0).demand_price_per_kw, 12.0);
}
