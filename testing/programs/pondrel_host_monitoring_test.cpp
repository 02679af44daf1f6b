// pondrel-host feeding monitoring, end to end with the real servers on
// loopback: Prometheus scrapes its figures (and promtool checks them), an
// MQTT broker carries its rounds and Home Assistant's discovery, and no
// round of the history is lost to a broker away or a killed pondrel-host.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "file_change.h"
#include "host_program_fixture.h"
#include "loopback_listener.h"

using namespace host_programs;

namespace {

// A loopback port nobody listens on now.
std::string free_port() { return std::to_string(testing_support::free_loopback_port()); }

bool accepts(const std::string& port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

bool wait_for_port(const std::string& port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port)) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string http_get(const std::string& url) {
    const auto got = run_program({"curl", "-sS", "--max-time", "5", url}, 10s);
    std::string text;
    for (const std::string& line : got.lines) text += line + "\n";
    return text;
}

// The series of an exposition text and their values.
std::map<std::string, double> series_of(const std::string& text) {
    std::map<std::string, double> series;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        series[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return series;
}

Json::Value parsed(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// A stored row with its id.
struct Stored {
    std::int64_t id;
    std::uint32_t data_id;
    std::string saved_at;
    Pondrel_Data_t record;
};

std::map<std::int64_t, Stored> stored_rows(const std::string& path) {
    std::map<std::int64_t, Stored> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT id, data_id, saved_at, record FROM history ORDER BY id", -1, &statement,
                           nullptr);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            Stored row{sqlite3_column_int64(statement, 0), static_cast<std::uint32_t>(sqlite3_column_int64(statement, 1)),
                       reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)), {}};
            std::memcpy(&row.record, sqlite3_column_blob(statement, 3),
                        std::min<std::size_t>(sizeof row.record, static_cast<std::size_t>(sqlite3_column_bytes(statement, 3))));
            rows[row.id] = row;
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// Debian's mosquitto on a loopback port, keeping its sessions in `dir`
// across a restart.
struct Broker {
    // `extra`: more of mosquitto's configuration (TLS, logins).
    Broker(const std::string& dir, const std::string& listen_port, const std::string& extra = "")
        : port(listen_port), conf(dir + "/mosquitto.conf") {
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\n" << (extra.empty() ? "allow_anonymous true\n" : extra)
                            << "persistence true\npersistence_location " << dir << "/\n"
                            // As root it would become another user, who cannot write here.
                            << (getuid() == 0 ? "user root\n" : "");
        start();
    }
    void start() {
        process = std::make_unique<ChildProcess>(std::vector<std::string>{"mosquitto", "-c", conf});
        EXPECT_TRUE(wait_for_port(port, 10s)) << process->error_text();
    }
    void stop() {
        process->send_signal(SIGTERM);
        process->wait(10s);
        log += process->error_text();
        process.reset();
    }
    std::string port;
    std::string conf;
    std::string log;  // of the broker's earlier runs
    std::unique_ptr<ChildProcess> process;
};

// mosquitto_sub printing "TOPIC PAYLOAD" lines, ready once it has the
// retained probe (published first); what came before the probe (a
// persistent session's waiting messages) goes to `before`.
// Debian's prometheus on a loopback port, storing in `tsdb`.
struct Prometheus {
    Prometheus(const std::string& config, const std::string& tsdb, const std::string& listen_port)
        : port(listen_port), wal(tsdb + "/wal") {
        // Made first, so that each scrape it stores is seen being written.
        std::filesystem::create_directories(wal);
        process = std::make_unique<ChildProcess>(std::vector<std::string>{
            "prometheus", "--config.file=" + config, "--storage.tsdb.path=" + tsdb,
            "--web.listen-address=127.0.0.1:" + port});
    }
    // The answer to `query` once it has `count` series, asked again each
    // time a scrape is written to the write-ahead log; what it has at `timeout`.
    Json::Value query_once_stored(const std::string& query, Json::ArrayIndex count, std::chrono::milliseconds timeout) {
        Json::Value result;
        testing_support::wait_for_change(wal, [&] {
            result = parsed(http_get("http://127.0.0.1:" + port + "/api/v1/query?query=" + query))["data"]["result"];
            return result.size() >= count;
        }, timeout);
        return result;
    }
    std::string port;
    std::string wal;
    std::unique_ptr<ChildProcess> process;
};

// `connection`: what both need to reach the broker (TLS, a login).
std::unique_ptr<ChildProcess> subscriber(const std::string& port, std::vector<std::string> extra,
                                         std::vector<std::string>* before = nullptr,
                                         const std::vector<std::string>& connection = {}) {
    std::vector<std::string> probe{"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-r", "-q", "1", "-t",
                                   "pondrel/probe/state", "-m", "probe"};
    probe.insert(probe.end(), connection.begin(), connection.end());
    run_program(probe, 10s);
    std::vector<std::string> args{"mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-v"};
    args.insert(args.end(), connection.begin(), connection.end());
    args.insert(args.end(), extra.begin(), extra.end());
    auto sub = std::make_unique<ChildProcess>(args);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto line = sub->read_line(200ms);
        if (line && *line == "pondrel/probe/state probe") break;
        if (line && before != nullptr) before->push_back(*line);
    }
    return sub;
}

class MonitoringTest : public HostProgramTest {
protected:
    // One line, `path`, a meter "mN" for each slave N, and `sections`.
    std::string site(const std::string& path, const std::vector<int>& slaves, const std::string& sections,
                     const std::string& meter_keys = "interval = 0.2\n") {
        std::string text = "[history]\nfile = \"" + history_ + "\"\n\n" + sections + "\n[[line]]\nname = \"bus\"\n" +
                           "device = \"" + path + "\"\ntimeout_ms = 200\n\n";
        for (int slave : slaves) {
            const std::string n = std::to_string(slave);
            text += "[[meter]]\nname = \"m" + n + "\"\nline = \"bus\"\nslave = " + n + "\ndata_id = " + n + "\n" +
                    meter_keys + "\n";
        }
        return file("site.toml", text);
    }
};

// "pondrel/m1/state {...}": the topic and the payload.
std::pair<std::string, std::string> split_message(const std::string& line) {
    const auto space = line.find(' ');
    if (space == std::string::npos) return {line, ""};
    return {line.substr(0, space), line.substr(space + 1)};
}

}  // namespace

TEST_F(MonitoringTest, ScrapedFiguresAreTheStoredRoundsAndPassPrometheusOwnChecks) {
    Meter meters({"--slave", "1-2", "--fault", "2=silent"});
    const std::string port = free_port();
    const std::string url = "http://127.0.0.1:" + port + "/metrics";
    ChildProcess host({kHost, "--config", site(meters.path, {1, 2}, "[prometheus]\nlisten = \"127.0.0.1:" + port + "\"\n")});
    const std::string m1 = "{data_id=\"1\",meter=\"m1\"}";
    const std::string m2 = "{data_id=\"2\",meter=\"m2\"}";
    std::string text;
    std::map<std::string, double> series;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        text = http_get(url);
        series = series_of(text);
        if (series["pondrel_rounds_total" + m1] >= 3 &&
            series["pondrel_round_failures_total{data_id=\"2\",meter=\"m2\",reason=\"timeout\"}"] >= 1) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(series["pondrel_rounds_total" + m1], 3) << text << host.error_text();
    // The readings are those of the stored round the count names.
    const auto rows = stored_rows(history_);
    std::vector<Pondrel_Data_t> of_m1;
    for (const auto& [id, row] : rows) {
        if (row.data_id == 1) of_m1.push_back(row.record);
    }
    const auto rounds = static_cast<std::size_t>(series["pondrel_rounds_total" + m1]);
    ASSERT_GE(of_m1.size(), rounds);
    const Pondrel_Data_t& round = of_m1[rounds - 1];
    EXPECT_EQ(static_cast<float>(series["pondrel_voltage_volts" + m1]), static_cast<float>(round.voltage));
    for (int n : {0, 17}) {
        const std::string c = "{circuit=\"" + std::to_string(n + 1) + "\",data_id=\"1\",meter=\"m1\"}";
        EXPECT_EQ(static_cast<float>(series["pondrel_current_amperes" + c]), static_cast<float>(round.current[n]));
        EXPECT_EQ(static_cast<float>(series["pondrel_power_watts" + c]), static_cast<float>(round.power[n]));
        EXPECT_NEAR(series["pondrel_energy_joules_total" + c], static_cast<double>(round.energy[n]) * 3.6e6, 1e-3);
    }
    EXPECT_EQ(series["pondrel_up" + m1], 1);
    EXPECT_EQ(series["pondrel_line_up{line=\"bus\"}"], 1);
    // The silent meter: down, counted, and no readings at all.
    EXPECT_EQ(series.count("pondrel_up" + m2), 1u);
    EXPECT_EQ(series["pondrel_up" + m2], 0);
    EXPECT_EQ(series.count("pondrel_voltage_volts" + m2), 0u);
    EXPECT_EQ(series.count("pondrel_power_watts{circuit=\"1\",data_id=\"2\",meter=\"m2\"}"), 0u);

    const std::string scraped = file("scrape.txt", text);
    const auto check = run_program({"sh", "-c", "promtool check metrics < " + scraped}, 30s);
    EXPECT_EQ(check.code, 0) << check.errors;
    EXPECT_TRUE(check.lines.empty() && check.errors.empty()) << check.errors;

    // Prometheus itself scrapes it: both meters' pondrel_up, as they are.
    const std::string prometheus_port = free_port();
    const std::string config = file("prometheus.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                                                      "  - job_name: pondrel\n    static_configs:\n"
                                                      "      - targets: ['127.0.0.1:" + port + "']\n");
    Prometheus prometheus(config, dir_ + "/tsdb", prometheus_port);
    const Json::Value result = prometheus.query_once_stored("pondrel_up", 2, 60s);
    ASSERT_EQ(result.size(), 2u) << prometheus.process->error_text();
    std::map<std::string, std::string> up;
    for (const Json::Value& one : result) up[one["metric"]["meter"].asString()] = one["value"][1].asString();
    EXPECT_EQ(up["m1"], "1");
    EXPECT_EQ(up["m2"], "0");
}

TEST_F(MonitoringTest, AWebConfigurationServesHttpsBehindALoginThatARealPrometheusScrapes) {
    // A CA and a certificate for 127.0.0.1 signed by it; a login's bcrypt hash as the guide makes it.
    const auto certificate = [&](const std::string& ca) {
        return "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + ca + ".key -out " + ca + ".pem -days 2 -subj /CN=" +
               ca + " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 && "
               "printf 'subjectAltName=IP:127.0.0.1\\n' > san && openssl x509 -req -in server.csr -CA " + ca +
               ".pem -CAkey " + ca + ".key -CAcreateserial -out server.pem -days 2 -extfile san && chmod 600 server.key";
    };
    const auto made = run_program({"sh", "-c", "cd " + dir_ + " && " + certificate("ca") +
                                                   " && htpasswd -nbBC 10 scraper 's3cret pass' > login"},
                                  60s);
    ASSERT_EQ(made.code, 0) << made.errors;
    std::string login;
    std::getline(std::ifstream(dir_ + "/login"), login);
    const std::string web = file("web.yml", "tls_server_config:\n  cert_file: " + dir_ + "/server.pem\n  key_file: " +
                                                dir_ + "/server.key\nbasic_auth_users:\n  scraper: " +
                                                login.substr(login.find(':') + 1) +
                                                "\nhttp_server_config:\n  headers:\n    X-Frame-Options: deny\n");
    // The same file Prometheus' own tool accepts.
    const auto checked = run_program({"promtool", "check", "web-config", web}, 30s);
    EXPECT_EQ(checked.code, 0) << checked.errors;

    chmod((dir_ + "/server.key").c_str(), 0640);  // the group may read it: said at the start
    Meter meters({"--slave", "1"});
    const std::string port = free_port();
    const std::string base = "https://127.0.0.1:" + port;
    ChildProcess host({kHost, "--config", site(meters.path, {1},
                                              "[web]\nlisten = \"127.0.0.1:" + port + "\"\nweb_config_file = \"" + web +
                                                  "\"\n[prometheus]\nlisten = \"127.0.0.1:" + port + "\"\n",
                                              // Few rounds: nobody reads its standard output here.
                                              "interval = 10\n")});
    ASSERT_TRUE(host.wait_for_error("serving the page on " + base + "/", 30s)) << host.error_text();
    EXPECT_NE(host.error_text().find("the TLS key file " + dir_ +
                                     "/server.key can be read by others than its owner (mode 0640)"),
              std::string::npos)
        << host.error_text();
    // The answer's status line and headers, and curl's exit code.
    const auto get = [&](const std::string& path, const std::string& ca, std::vector<std::string> more) {
        std::vector<std::string> args{"curl", "-sS", "-o", "/dev/null", "-D", "-", "--max-time", "10", "--cacert",
                                      dir_ + "/" + ca + ".pem"};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(base + path);
        const auto run = run_program(args, 30s);
        std::string head;
        for (const std::string& line : run.lines) head += line + "\n";
        return std::make_pair(run.code, head);
    };
    for (const char* path : {"/metrics", "/", "/api/v1/meters"}) {
        SCOPED_TRACE(path);
        const auto none = get(path, "ca", {});
        EXPECT_EQ(none.second.rfind("HTTP/1.1 401", 0), 0u) << none.second;
        EXPECT_NE(none.second.find("WWW-Authenticate: Basic"), std::string::npos) << none.second;
        EXPECT_EQ(get(path, "ca", {"-u", "scraper:wrong"}).second.rfind("HTTP/1.1 401", 0), 0u);
        EXPECT_EQ(get(path, "ca", {"-u", "nobody:s3cret pass"}).second.rfind("HTTP/1.1 401", 0), 0u);
        const auto right = get(path, "ca", {"-u", "scraper:s3cret pass"});
        EXPECT_EQ(right.second.rfind("HTTP/1.1 200", 0), 0u) << right.second;
        EXPECT_NE(right.second.find("X-Frame-Options: deny"), std::string::npos) << right.second;
    }

    // Prometheus scrapes it over TLS with the login.
    const std::string prometheus_port = free_port();
    const std::string config = file("prometheus.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                                                      "  - job_name: pondrel\n    scheme: https\n    tls_config:\n"
                                                      "      ca_file: " + dir_ + "/ca.pem\n    basic_auth:\n"
                                                      "      username: scraper\n      password: 's3cret pass'\n"
                                                      "    static_configs:\n      - targets: ['127.0.0.1:" + port + "']\n");
    Prometheus prometheus(config, dir_ + "/tsdb", prometheus_port);
    const Json::Value result = prometheus.query_once_stored("pondrel_up", 1, 60s);
    ASSERT_EQ(result.size(), 1u) << prometheus.process->error_text();
    EXPECT_EQ(result[0]["value"][1].asString(), "1");

    // A renewed certificate (from another CA here) is served after SIGHUP, without a restart.
    ASSERT_EQ(run_program({"sh", "-c", "cd " + dir_ + " && " + certificate("ca2")}, 60s).code, 0);
    host.send_signal(SIGHUP);
    ASSERT_TRUE(host.wait_for_error("read the web configuration " + web + " again", 30s)) << host.error_text();
    EXPECT_EQ(get("/metrics", "ca2", {"-u", "scraper:s3cret pass"}).second.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(get("/metrics", "ca", {"-u", "scraper:s3cret pass"}).first, 0);
    // One that cannot be used is reported, and the running one stays.
    file("web.yml", "tls_server_config:\n  cert_file: " + dir_ + "/server.pem\n  key_file: " + dir_ + "/ca.key\n");
    host.send_signal(SIGHUP);
    ASSERT_TRUE(host.wait_for_error("kept the running web configuration: key_file " + dir_ + "/ca.key is not the key of",
                                    30s))
        << host.error_text();
    EXPECT_EQ(get("/metrics", "ca2", {"-u", "scraper:s3cret pass"}).second.rfind("HTTP/1.1 200", 0), 0u);
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
}

TEST_F(MonitoringTest, EveryAcceptedWebConfigurationPassesPromtoolAndAClientCertificateIsRequiredWhenAsked) {
    // A CA that signs the server's certificate and a client's.
    const auto made = run_program(
        {"sh", "-c",
         "cd " + dir_ + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=ca "
         "&& printf 'subjectAltName=IP:127.0.0.1\\n' > san && for who in server client; do "
         "openssl req -newkey rsa:2048 -nodes -keyout $who.key -out $who.csr -subj /CN=127.0.0.1 && "
         "openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $who.pem -days 2 -extfile san; "
         "done && chmod 600 server.key && htpasswd -nbBC 10 scraper secret > login"},
        60s);
    ASSERT_EQ(made.code, 0) << made.errors;
    std::string login;
    std::getline(std::ifstream(dir_ + "/login"), login);
    const std::string tls = "tls_server_config:\n  cert_file: " + dir_ + "/server.pem\n  key_file: " + dir_ + "/server.key\n";
    const std::string verified = tls + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: " + dir_ +
                                 "/ca.pem\n  min_version: TLS13\n";
    const std::string accepted[] = {
        "",
        tls,
        verified,
        tls + "  client_auth_type: VerifyClientCertIfGiven\n  client_ca_file: " + dir_ + "/ca.pem\n",
        "basic_auth_users:\n  " + login.substr(0, login.find(':')) + ": " + login.substr(login.find(':') + 1) + "\n",
        "http_server_config:\n  headers:\n    Content-Security-Policy: default-src 'self'\n",
    };
    const std::string port = free_port();
    for (const std::string& text : accepted) {
        SCOPED_TRACE(text);
        const std::string web = file("web.yml", text);
        const auto checked = run_program({"promtool", "check", "web-config", web}, 30s);
        EXPECT_EQ(checked.code, 0) << checked.errors;
        const std::string config =
            file("check.toml", "[web]\nlisten = \"127.0.0.1:" + port + "\"\nweb_config_file = \"" + web + "\"\n" +
                                   "[[line]]\nname = \"bus\"\ndevice = \"/dev/null\"\n[[meter]]\nname = \"m1\"\nline = \"bus\"\n");
        const auto check = run_program({kHost, "--config", config, "--check"}, 30s);
        EXPECT_EQ(check.code, 0) << check.errors;
    }

    // A client certificate required: refused without one, answered with one the CA signed.
    Meter meters({"--slave", "1"});
    const std::string web = file("web.yml", verified);
    ChildProcess host({kHost, "--config", site(meters.path, {1},
                                              "[web]\nlisten = \"127.0.0.1:" + port + "\"\nweb_config_file = \"" + web +
                                                  "\"\n",
                                              "interval = 10\n")});
    ASSERT_TRUE(host.wait_for_error("serving the page on https://", 30s)) << host.error_text();
    const std::vector<std::string> curl{"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10",
                                        "--cacert", dir_ + "/ca.pem"};
    std::vector<std::string> without = curl, with = curl;
    without.push_back("https://127.0.0.1:" + port + "/api/v1/meters");
    with.insert(with.end(), {"--cert", dir_ + "/client.pem", "--key", dir_ + "/client.key",
                             "https://127.0.0.1:" + port + "/api/v1/meters"});
    EXPECT_NE(run_program(without, 30s).code, 0);
    const auto answered = run_program(with, 30s);
    EXPECT_EQ(answered.code, 0) << answered.errors;
    EXPECT_EQ(answered.lines, std::vector<std::string>{"200"});
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
}

TEST_F(MonitoringTest, PublishesDiscoveryStateAndAvailabilityAndTheBrokerSaysOfflineForAKilledHost) {
    Broker broker(dir_, free_port());
    Meter meters({"--slave", "1"});
    auto sub = subscriber(broker.port, {"-t", "homeassistant/#", "-t", "pondrel/#"});
    ChildProcess host({kHost, "--config", site(meters.path, {1}, "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port +
                                                                     "\"\nkeepalive = 5\n")});
    std::vector<std::pair<std::string, std::string>> messages;
    int states = 0;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (states < 3 && std::chrono::steady_clock::now() < deadline) {
        if (const auto line = sub->read_line(200ms)) {
            messages.push_back(split_message(*line));
            if (messages.back().first == "pondrel/m1/state") ++states;
        }
    }
    ASSERT_EQ(states, 3) << host.error_text();
    // Home Assistant, started again, says so: the discovery comes again.
    run_program({"mosquitto_pub", "-p", broker.port, "-t", "homeassistant/status", "-m", "online"}, 10s);
    int again = 0;
    deadline = std::chrono::steady_clock::now() + 10s;
    while (again < 55 && std::chrono::steady_clock::now() < deadline) {
        if (const auto line = sub->read_line(200ms)) {
            const auto message = split_message(*line);
            if (message.first.rfind("homeassistant/sensor/pondrel_m1/", 0) == 0) ++again;
        }
    }
    EXPECT_EQ(again, 55);
    host.send_signal(SIGKILL);
    bool will = false;
    deadline = std::chrono::steady_clock::now() + 10s;
    while (!will && std::chrono::steady_clock::now() < deadline) {
        if (const auto line = sub->read_line(200ms)) will = *line == "pondrel/status offline";
    }
    EXPECT_TRUE(will) << "no last will after kill -9";

    std::set<std::string> configs;
    bool online = false, available = false;
    const auto rows = stored_rows(history_);
    for (const auto& [topic, payload] : messages) {
        online = online || (topic == "pondrel/status" && payload == "online");
        available = available || (topic == "pondrel/m1/availability" && payload == "online");
        if (topic.rfind("homeassistant/sensor/pondrel_m1/", 0) == 0) {
            configs.insert(topic);
            const Json::Value config = parsed(payload);
            EXPECT_EQ(config["state_topic"].asString(), "pondrel/m1/state");
            EXPECT_EQ(config["device"]["model"].asString(), "18-circuit meter");
            EXPECT_FALSE(config["unique_id"].asString().empty());
            EXPECT_EQ(config["availability"].size(), 2u);
            if (topic == "homeassistant/sensor/pondrel_m1/energy_18/config") {
                EXPECT_EQ(config["device_class"].asString(), "energy");
                EXPECT_EQ(config["unit_of_measurement"].asString(), "kWh");
                EXPECT_EQ(config["state_class"].asString(), "total_increasing");
            }
        }
        if (topic != "pondrel/m1/state") continue;
        // Each state is the stored round its round_id names.
        const Json::Value state = parsed(payload);
        const auto row = rows.find(state["round_id"].asInt64());
        ASSERT_NE(row, rows.end()) << payload;
        const Pondrel_Data_t& r = row->second.record;
        EXPECT_EQ(state["data_id"].asUInt(), 1u);
        EXPECT_EQ(state["time"].asString().substr(0, 19), row->second.saved_at);
        EXPECT_EQ(state["time"].asString().size(), 25u) << "no UTC offset: " << state["time"].asString();
        EXPECT_EQ(state["voltage_V"].asFloat(), static_cast<float>(r.voltage));
        for (int n = 0; n < 18; ++n) {
            EXPECT_EQ(state["current_A"][n].asFloat(), static_cast<float>(r.current[n]));
            EXPECT_EQ(state["power_W"][n].asFloat(), static_cast<float>(r.power[n]));
            EXPECT_EQ(state["energy_kWh"][n].asFloat(), static_cast<float>(r.energy[n]));
        }
    }
    EXPECT_TRUE(online && available);
    EXPECT_EQ(configs.size(), 55u);
}

TEST_F(MonitoringTest, ACleanStopLeavesEveryMetersRetainedAvailabilityOffline) {
    Broker broker(dir_, free_port());
    const std::vector<int> slaves{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Meter meters({"--slave", "1-10"});
    auto sub = subscriber(broker.port, {"-t", "pondrel/+/availability"});
    ChildProcess host({kHost, "--config", site(meters.path, slaves, "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port +
                                                                       "\"\n", "interval = 0.1\n")});
    std::set<std::string> online;
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         online.size() < slaves.size() && std::chrono::steady_clock::now() < deadline;) {
        if (const auto line = sub->read_line(200ms)) {
            const auto [topic, payload] = split_message(*line);
            if (payload == "online") online.insert(topic);
        }
    }
    ASSERT_EQ(online.size(), slaves.size()) << host.error_text();
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
    // What the broker keeps, as a newcomer gets it.
    std::map<std::string, std::string> retained;
    ChildProcess newcomer({"mosquitto_sub", "-h", "127.0.0.1", "-p", broker.port, "-v", "--retained-only", "-W", "5",
                           "-t", "pondrel/+/availability"});
    while (const auto line = newcomer.read_line(10s)) {
        const auto [topic, payload] = split_message(*line);
        retained[topic] = payload;
    }
    EXPECT_EQ(retained.size(), slaves.size());
    for (const auto& [topic, payload] : retained) EXPECT_EQ(payload, "offline") << topic;
}

TEST_F(MonitoringTest, APublishIntervalThinsTheStatesWhileTheHistoryKeepsEveryRound) {
    Broker broker(dir_, free_port());
    Meter meters({"--slave", "1"});
    auto sub = subscriber(broker.port, {"-t", "pondrel/m1/state"});
    // 25 rounds 0.1 s apart: their times span two or three whole seconds.
    const auto run = run_program({kHost, "--config",
                                  site(meters.path, {1},
                                       "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port + "\"\npublish_interval = 1\n",
                                       "interval = 0.1\n"),
                                  "--rounds", "25"},
                                 60s);
    ASSERT_EQ(run.code, 0) << run.errors;
    const auto rows = stored_rows(history_);
    ASSERT_EQ(rows.size(), 25u);
    std::set<std::string> seconds;
    for (const auto& [id, row] : rows) seconds.insert(row.saved_at);
    std::vector<std::string> states;
    while (const auto line = sub->read_line(3s)) states.push_back(split_message(*line).second);
    // One state for each second the rounds' times began, never more.
    EXPECT_EQ(states.size(), seconds.size());
    for (const std::string& state : states) EXPECT_TRUE(parsed(state)["round_id"].isInt64()) << state;
}

TEST_F(MonitoringTest, NoRoundOfTheHistoryIsLostToABrokerAwayOrAHostKilledMeanwhile) {
    Broker broker(dir_, free_port());
    Meter meters({"--slave", "1"});
    const std::vector<std::string> session{"-c", "-i", "pondrel-test-subscriber", "-q", "1", "-t", "pondrel/+/state"};
    const std::string config =
        site(meters.path, {1}, "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port + "\"\n", "interval = 0.1\n");
    std::vector<std::int64_t> received;
    const auto take_line = [&](const std::string& line) {
        const auto [topic, payload] = split_message(line);
        if (topic == "pondrel/m1/state") received.push_back(parsed(payload)["round_id"].asInt64());
    };
    const auto take = [&](ChildProcess& sub, std::chrono::milliseconds quiet) {
        while (const auto line = sub.read_line(quiet)) take_line(*line);
    };
    // Waits until the history holds `count` rows, looking each time its folder is written.
    const auto stored_at_least = [&](std::size_t count) {
        return testing_support::wait_for_change(dir_, [&] { return stored_rows(history_).size() >= count; }, 60s);
    };
    auto sub = subscriber(broker.port, session);
    auto host = std::make_unique<ChildProcess>(std::vector<std::string>{kHost, "--config", config});
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         received.size() < 5 && std::chrono::steady_clock::now() < deadline;) {
        if (const auto line = sub->read_line(200ms)) take_line(*line);
    }
    ASSERT_GE(received.size(), 5u) << host->error_text();
    broker.stop();  // the broker away: rounds wait in the history
    take(*sub, 500ms);
    sub.reset();
    ASSERT_TRUE(stored_at_least(stored_rows(history_).size() + 10)) << host->error_text();
    host->send_signal(SIGKILL);  // and pondrel-host killed meanwhile
    host->wait(5s);
    host = std::make_unique<ChildProcess>(std::vector<std::string>{kHost, "--config", config});
    ASSERT_TRUE(stored_at_least(stored_rows(history_).size() + 10)) << host->error_text();
    broker.start();
    std::vector<std::string> waited;
    sub = subscriber(broker.port, session, &waited);
    for (const std::string& line : waited) take_line(line);
    // Every round stored before the broker came back arrives, then a clean stop.
    const auto before_back = stored_rows(history_);
    const auto all_arrived = [&] {
        for (const auto& [id, row] : before_back) {
            if (std::find(received.begin(), received.end(), id) == received.end()) return false;
        }
        return true;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         !all_arrived() && std::chrono::steady_clock::now() < deadline;) {
        if (const auto line = sub->read_line(200ms)) take_line(*line);
    }
    host->send_signal(SIGTERM);
    EXPECT_EQ(host->wait(30s), 0) << host->error_text();
    take(*sub, 2s);

    // At least the 5 published, the 10 stored with the broker away and the 10 after the kill.
    const auto rows = stored_rows(history_);
    ASSERT_GE(rows.size(), 25u);
    std::set<std::int64_t> got(received.begin(), received.end());
    std::vector<std::int64_t> missing;
    for (const auto& [id, row] : rows) {
        if (got.count(id) == 0) missing.push_back(id);
    }
    std::string order;
    for (std::int64_t id : received) order += " " + std::to_string(id);
    EXPECT_TRUE(missing.empty()) << missing.size() << " of " << rows.size() << " rounds never arrived, the first "
                                 << missing.front() << "; received" << order << "\n" << host->error_text() << broker.log << broker.process->error_text();
    // In order: each round first arrives after every earlier one (copies of
    // QoS 1 may come again, and are recognised by their round_id).
    std::set<std::int64_t> seen;
    std::int64_t newest = 0;
    for (std::int64_t id : received) {
        if (!seen.insert(id).second) continue;
        EXPECT_GT(id, newest);
        newest = id;
    }
}

TEST_F(MonitoringTest, TwoSitesOnOneBrokerEachKeepTheirOwnEntities) {
    Broker broker(dir_, free_port());
    // Both sites have a meter m1; each has its own topic prefix.
    for (const char* prefix : {"north", "south"}) {
        Meter meter({"--slave", "1"});
        history_ = dir_ + "/" + prefix + ".db";
        const auto run = run_program({kHost, "--config",
                                      site(meter.path, {1},
                                           "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port +
                                               "\"\ntopic_prefix = \"" + prefix + "\"\n"),
                                      "--rounds", "1"},
                                     60s);
        ASSERT_EQ(run.code, 0) << run.errors;
    }
    // What a newcomer (Home Assistant starting) finds retained.
    std::map<std::string, std::set<std::string>> unique_ids;  // of each discovery id
    std::set<std::string> state_topics;
    ChildProcess newcomer({"mosquitto_sub", "-h", "127.0.0.1", "-p", broker.port, "-v", "--retained-only", "-W", "5",
                           "-t", "homeassistant/sensor/+/+/config"});
    while (const auto line = newcomer.read_line(10s)) {
        const auto [topic, payload] = split_message(*line);
        const std::string id = topic.substr(21, topic.find('/', 21) - 21);
        const Json::Value config = parsed(payload);
        unique_ids[id].insert(config["unique_id"].asString());
        state_topics.insert(config["state_topic"].asString());
    }
    ASSERT_EQ(unique_ids.size(), 2u);
    EXPECT_EQ(unique_ids.count("north_m1"), 1u);
    EXPECT_EQ(unique_ids.count("south_m1"), 1u);
    EXPECT_EQ(unique_ids["north_m1"].size(), 55u);
    EXPECT_EQ(unique_ids["south_m1"].size(), 55u);
    EXPECT_EQ(state_topics, (std::set<std::string>{"north/m1/state", "south/m1/state"}));
}

TEST_F(MonitoringTest, RoundsOfAMeterRemovedByAReloadAreStillPublished) {
    // A subscriber's session the broker keeps while it is away, as rounds wait in the history.
    Broker broker(dir_, free_port());
    const std::vector<std::string> session{"-c", "-i", "pondrel-test-subscriber", "-q", "1", "-t", "pondrel/+/state"};
    subscriber(broker.port, session).reset();
    broker.stop();
    Meter meters({"--slave", "1-2"});
    const std::string mqtt = "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + broker.port + "\"\n";
    const std::string config = site(meters.path, {1, 2}, mqtt, "interval = 0.1\n");
    ChildProcess host({kHost, "--config", config});
    const auto of_m2 = [&] {
        std::set<std::int64_t> ids;
        for (const auto& [id, row] : stored_rows(history_)) {
            if (row.data_id == 2) ids.insert(id);
        }
        return ids;
    };
    ASSERT_TRUE(testing_support::wait_for_change(dir_, [&] { return of_m2().size() >= 5; }, 60s)) << host.error_text();
    site(meters.path, {1}, mqtt, "interval = 0.1\n");  // m2 removed
    host.send_signal(SIGHUP);
    ASSERT_TRUE(host.wait_for_error("1 meters stopped", 60s)) << host.error_text();
    const std::set<std::int64_t> stored = of_m2();
    broker.start();
    std::vector<std::string> waited;
    auto sub = subscriber(broker.port, session, &waited);
    std::set<std::int64_t> received;
    const auto take_line = [&](const std::string& line) {
        const auto [topic, payload] = split_message(line);
        if (topic == "pondrel/m2/state") received.insert(parsed(payload)["round_id"].asInt64());
    };
    for (const std::string& line : waited) take_line(line);
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         received.size() < stored.size() && std::chrono::steady_clock::now() < deadline;) {
        if (const auto line = sub->read_line(200ms)) take_line(*line);
    }
    EXPECT_EQ(received, stored) << host.error_text();
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(30s), 0) << host.error_text();
}

TEST_F(MonitoringTest, ABrokerThatCannotBeReachedIsReportedOnceAndPollingGoesOn) {
    Meter meters({"--slave", "1"});
    const std::string config = site(meters.path, {1}, "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + free_port() + "\"\n");
    const auto run = run_program({kHost, "--config", config, "--rounds", "12"}, 30s);
    EXPECT_EQ(run.code, 0) << run.errors;
    EXPECT_EQ(json_lines(run.lines).size(), 12u);
    EXPECT_EQ(stored_rows(history_).size(), 12u);
    std::size_t reports = 0;
    for (std::size_t at = run.errors.find("MQTT broker"); at != std::string::npos;
         at = run.errors.find("MQTT broker", at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, 1u) << run.errors;
}

TEST_F(MonitoringTest, AMetricsAddressThatCannotBeServedEndsTheStartWithItsReason) {
    const testing_support::LoopbackListener held;
    ASSERT_NE(held.port(), 0);
    const std::string taken = held.address();
    const auto run = run_program(host_args({"--metrics", taken, "--rounds", "1"}), 30s);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.errors.find("cannot serve metrics on " + taken + ": Address already in use"), std::string::npos)
        << run.errors;
}

TEST_F(MonitoringTest, AStartRightAfterAStopServesTheSameAddress) {
    // Connections the server closed stay behind for a minute (TIME_WAIT);
    // a restart (systemd's Restart=, systemctl restart) binds past them.
    const std::string address = "127.0.0.1:" + free_port();
    {
        ChildProcess host(host_args({"--metrics", address, "--interval", "0.2"}));
        ASSERT_TRUE(wait_for_port(address.substr(10), 30s)) << host.error_text();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(run_program({"curl", "-sS", "-o", "/dev/null", "-H", "Connection: close", "--max-time", "5",
                                   "http://" + address + "/metrics"},
                                  10s)
                          .code,
                      0);
        }
        host.send_signal(SIGTERM);
        ASSERT_EQ(host.wait(30s), 0) << host.error_text();
    }
    const auto again = run_program(host_args({"--metrics", address, "--rounds", "1"}), 30s);
    EXPECT_EQ(again.code, 0) << again.errors;
}

TEST_F(MonitoringTest, ABrokerBehindTlsAndALoginGetsTheRoundsAndAWrongPasswordIsReportedOnce) {
    // A CA, and the broker's certificate for 127.0.0.1 signed by it.
    const auto made = run_program(
        {"sh", "-c",
         "cd " + dir_ + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
         "-subj /CN=pondrel-test-ca && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
         "-subj /CN=127.0.0.1 && printf 'subjectAltName=IP:127.0.0.1\\n' > san && openssl x509 -req -in server.csr "
         "-CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san && "
         "mosquitto_passwd -b -c passwords pondrel right-password"},
        60s);
    ASSERT_EQ(made.code, 0) << made.errors;
    Broker broker(dir_, free_port(),
                  "allow_anonymous false\npassword_file " + dir_ + "/passwords\ncafile " + dir_ + "/ca.pem\ncertfile " +
                      dir_ + "/server.pem\nkeyfile " + dir_ + "/server.key\n");
    Meter meters({"--slave", "1"});
    const std::string mqtt = "[mqtt]\nbroker = \"mqtts://127.0.0.1:" + broker.port + "\"\nca_file = \"" + dir_ +
                             "/ca.pem\"\nusername = \"pondrel\"\npassword_file = \"" +
                             file("password", "right-password\n") + "\"\n";
    auto sub = subscriber(broker.port, {"-t", "pondrel/m1/state", "-t", "pondrel/probe/state"}, nullptr,
                          {"--cafile", dir_ + "/ca.pem", "-u", "pondrel", "-P", "right-password"});
    chmod((dir_ + "/password").c_str(), 0644);
    {
        ChildProcess host({kHost, "--config", site(meters.path, {1}, mqtt)});
        const auto line = sub->read_line(15s);
        ASSERT_TRUE(line.has_value()) << host.error_text() << broker.process->error_text();
        EXPECT_TRUE(parsed(split_message(*line).second)["round_id"].isInt64()) << *line;
        // Used, and said to be readable by others.
        EXPECT_NE(host.error_text().find("the MQTT password file " + dir_ +
                                         "/password can be read by others than its owner (mode 0644)"),
                  std::string::npos)
            << host.error_text();
    }
    file("password", "wrong-password\n");
    chmod((dir_ + "/password").c_str(), 0600);
    const auto run = run_program({kHost, "--config", site(meters.path, {1}, mqtt), "--rounds", "15"}, 30s);
    EXPECT_EQ(run.code, 0) << run.errors;
    std::size_t refusals = 0;
    for (std::size_t at = run.errors.find("refused the connection"); at != std::string::npos;
         at = run.errors.find("refused the connection", at + 1)) {
        ++refusals;
    }
    EXPECT_EQ(refusals, 1u) << run.errors;
    EXPECT_EQ(run.errors.find("can be read by others"), std::string::npos) << run.errors;
}
