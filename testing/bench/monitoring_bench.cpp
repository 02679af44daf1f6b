// The monitoring's figures, each beside its reference in the same run:
//   a scrape of 32 meters' figures (collect and text), against 5 ms;
//   a scrape over HTTP on loopback with a login (bcrypt, cost 10, remembered
//     once right) against the same scrape without, aim at most 10% more;
//   from a round stored to its message at a subscriber on this machine
//     (Debian's mosquitto on loopback), median and 99th percentile;
//   back-fill: 10,000 rounds waiting in the history published to the broker
//     and received, rounds a second.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <mosquitto.h>
#include <prometheus/text_serializer.h>

#include <crypt.h>
#include <httplib.h>

#include "history.h"
#include "http_server.h"
#include "loopback_listener.h"
#include "metrics_page.h"
#include "web_guard.h"
#include "mqtt_publisher.h"
#include "pondrel_data.h"
#include "site_metrics.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<unsigned char> a_record(float energy) {
    Pondrel_Data_t data{};
    data.voltage = 230;
    for (int n = 0; n < kPondrelCircuits; ++n) {
        data.current[n] = 1.5f * static_cast<float>(n);
        data.power[n] = 345.0f * static_cast<float>(n);
        data.energy[n] = energy + static_cast<float>(n);
    }
    std::vector<unsigned char> bytes(sizeof data);
    std::memcpy(bytes.data(), &data, sizeof data);
    return bytes;
}

void scrape_figures() {
    SiteMetrics metrics([](Severity, const std::string&) {});
    std::vector<MeterIdentity> meters;
    for (int m = 0; m < 32; ++m) meters.push_back({"meter-" + std::to_string(m), "line", m + 1, static_cast<std::uint32_t>(m + 1), ""});
    metrics.set_site(meters, {"a", "b", "c", "d"});
    for (const MeterIdentity& meter : meters) {
        CompletedRound round;
        round.meter = &meter;
        round.record = a_record(100);
        round.duration_s = 0.1;
        metrics.write(round);
    }
    const int scrapes = 200;
    std::size_t bytes = 0;
    const auto began = Clock::now();
    for (int i = 0; i < scrapes; ++i) bytes += prometheus::TextSerializer().Serialize(metrics.Collect()).size();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count() / scrapes;
    std::printf("scrape of 32 meters: %.3f ms (%zu bytes), aim 5 ms: %.1f%% of it\n", ms, bytes / scrapes, ms / 5 * 100);
    std::size_t families = 0;
    const auto collected = Clock::now();
    for (int i = 0; i < scrapes; ++i) families += metrics.Collect().size();
    const double collect_ms = std::chrono::duration<double, std::milli>(Clock::now() - collected).count() / scrapes;
    std::printf("  of which the figures collected (%zu families): %.3f ms\n", families / scrapes, collect_ms);
}

// One scrape of /metrics over a kept-alive connection, mean of `scrapes`.
double scrape_ms(const std::shared_ptr<WebGuard>& guard, const std::shared_ptr<SiteMetrics>& metrics, int scrapes) {
    const int port = testing_support::free_loopback_port();
    HttpServer server("127.0.0.1:" + std::to_string(port), "metrics", {}, guard);
    serve_metrics(server.routes(), metrics);
    server.start();
    httplib::Client client("127.0.0.1", port);
    if (guard) client.set_basic_auth("scraper", "s3cret pass");
    client.Get("/metrics");  // the login found right once, the connection open
    const auto began = Clock::now();
    for (int i = 0; i < scrapes; ++i) {
        const auto answer = client.Get("/metrics");
        if (!answer || answer->status != 200) std::printf("  a scrape failed\n");
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - began).count() / scrapes;
}

void scrape_with_a_login() {
    auto metrics = std::make_shared<SiteMetrics>([](Severity, const std::string&) {});
    std::vector<MeterIdentity> meters;
    for (int m = 0; m < 32; ++m) meters.push_back({"meter-" + std::to_string(m), "line", m + 1, static_cast<std::uint32_t>(m + 1), ""});
    metrics->set_site(meters, {"a"});
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2b$", 10, nullptr, 0, salt, sizeof salt);
    crypt_data data{};
    WebSecurity security;
    security.users["scraper"] = crypt_rn("s3cret pass", salt, &data, sizeof data);
    const auto guard = std::make_shared<WebGuard>(security);
    // Taken in turns, the best of five each: the machine's noise is larger than the difference.
    const int scrapes = 1000;
    double plain = 1e9, login = 1e9;
    for (int turn = 0; turn < 5; ++turn) {
        plain = std::min(plain, scrape_ms(nullptr, metrics, scrapes));
        login = std::min(login, scrape_ms(guard, metrics, scrapes));
    }
    std::printf("scrape of 32 meters' figures over HTTP: %.3f ms; with a login: %.3f ms, %.1f%% more (aim at most 10%%)\n", plain, login,
                (login / plain - 1) * 100);
}

// A subscriber counting state messages and noting when each arrived.
struct Subscriber {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Clock::time_point> times;
    mosquitto* client = nullptr;

    explicit Subscriber(int port) {
        client = mosquitto_new("bench-subscriber", true, this);
        mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message*) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->times.push_back(Clock::now());
            s->arrived.notify_all();
        });
        mosquitto_connect(client, "127.0.0.1", port, 60);
        mosquitto_subscribe(client, nullptr, "bench/+/state", 1);
        mosquitto_loop_start(client);
    }
    ~Subscriber() {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    bool wait_for(std::size_t count, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return times.size() >= count; });
    }
};

void broker_figures() {
    const std::string dir = std::filesystem::temp_directory_path() / ("pondrel-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const int port = 20000 + getpid() % 20000;
    std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                           << "max_queued_messages 0\n" << (getuid() == 0 ? "user root\n" : "");
    const pid_t broker = fork();
    if (broker == 0) {
        const std::string conf = dir + "/mosquitto.conf";
        if (freopen("/dev/null", "w", stderr) == nullptr) _exit(127);
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    mosquitto_lib_init();

    MqttConfig config;
    config.broker = "mqtt://127.0.0.1:" + std::to_string(port);
    config.host = "127.0.0.1";
    config.port = port;
    config.client_id = "bench-publisher";
    config.topic_prefix = "bench";
    config.discovery_prefix = "";
    const std::string path = dir + "/history.db";
    History history(path);
    const MeterIdentity meter{"m1", "line", 1, 1, "m1"};
    auto outbox = std::make_unique<Outbox>(path, config.broker);  // before the rows: they all wait
    const auto now = boost::posix_time::second_clock::local_time();
    const int waiting = 10000;
    for (int i = 0; i < waiting; ++i) {
        const auto record = a_record(static_cast<float>(i));
        history.append(1, 1, now, record.data(), static_cast<unsigned int>(record.size()));
    }
    Subscriber subscriber(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MqttPublisher publisher(config, std::move(outbox), [](Severity, const std::string&) {});
    publisher.set_meters({meter});
    const auto began = Clock::now();
    publisher.start();
    const bool all = subscriber.wait_for(waiting, std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("back-fill of %d waiting rounds: %s in %.2f s, %.0f rounds/s, aim 2,000: %.1fx\n", waiting,
                all ? "all received" : "NOT all received", seconds, waiting / seconds, waiting / seconds / 2000);

    // Latency: a round stored and handed over, to its arrival.
    std::vector<double> latencies;
    CompletedRound round;
    round.meter = &meter;
    for (int i = 0; i < 500; ++i) {
        round.record = a_record(static_cast<float>(waiting + i));
        const std::size_t before = subscriber.times.size();
        const auto sent = Clock::now();
        history.append(1, 1, now, round.record.data(), static_cast<unsigned int>(round.record.size()));
        publisher.write(round);
        if (!subscriber.wait_for(before + 1, std::chrono::seconds(5))) break;
        std::lock_guard<std::mutex> lock(subscriber.mutex);
        latencies.push_back(std::chrono::duration<double, std::milli>(subscriber.times.back() - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::printf("round stored to message received (%zu rounds): median %.2f ms (aim 5), 99th percentile %.2f ms "
                    "(aim 50)\n",
                    latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100]);
    }
    publisher.stop();
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::filesystem::remove_all(dir);
}

}  // namespace

int main() {
    scrape_figures();
    scrape_with_a_login();
    broker_figures();
    return 0;
}
