// Publishes completed rounds to an MQTT broker, with the history as its
// outbox: a round is published after it is stored, in storing order, and the
// last row the broker acknowledged (PUBACK at QoS 1) is kept in the history.
// While the broker is away rounds wait in the history; when it is back (or
// after a restart) they go oldest first, a window at a time, then the current
// ones. A broker that cannot be reached is retried with backoff (1 s
// doubling to 30 s), each change reported once; it never stops polling.
// On connecting: PREFIX/status "online" (the last will says "offline"), each
// meter's availability and Home Assistant's discovery, sent again whenever
// Home Assistant announces itself online (DISCOVERY/status). An energy lower than
// the last published for its circuit, or not a number, is published as null.
//
// Threads: its own thread talks to the broker and reads the outbox; write()
// comes from the lines' threads; the rest from the main thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "energy_guard.h"
#include "outbox.h"
#include "outputs.h"
#include "report.h"
#include "pondrel_meter.h"
#include "site_config.h"

struct mosquitto;
struct mosquitto_message;

namespace pondrel {

class MqttPublisher : public RoundOutput {
public:
    // Rows published and not yet acknowledged, at most.
    static constexpr std::size_t kWindow = 256;

    // `outbox` is the history's, for this broker. Throws std::runtime_error
    // when the client cannot be made.
    MqttPublisher(MqttConfig config, std::unique_ptr<Outbox> outbox, Report report);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // The meters whose rounds it publishes (at start and after a reload).
    void set_meters(const std::vector<MeterIdentity>& meters);
    void start();
    // Says "offline", waits up to a second for acknowledgements, disconnects.
    void stop();

    void write(const CompletedRound& round) override;

    // The last row the broker acknowledged, when retention must keep the rows
    // after it: not when more than max_pending wait (said once).
    std::optional<std::int64_t> keep_after();
    // Stored rounds waiting for the broker.
    std::int64_t waiting() const { return waiting_; }

private:
    using Clock = std::chrono::steady_clock;
    void run();
    void connect();
    void lost(const std::string& why);
    void on_connect(int rc);
    // The broker accepted the connection: status, discovery, what waits.
    void take_up_connection();
    void on_publish(int mid);
    void publish(const std::string& topic, const std::string& payload, bool retain, int* mid = nullptr);
    void fill_window();
    void publish_row(const History::Row& row);
    void announce_meters();
    void update_availability(bool force);
    void save_acknowledged(bool now);
    void wake();

    static void connect_callback(mosquitto*, void* self, int rc);
    static void publish_callback(mosquitto*, void* self, int mid);
    static void message_callback(mosquitto*, void* self, const mosquitto_message* message);

    const MqttConfig config_;
    const Report report_;
    const std::string name_;  // "MQTT broker HOST:PORT", for messages
    std::unique_ptr<Outbox> outbox_;
    mosquitto* client_ = nullptr;
    int wake_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> waiting_{0};
    std::atomic<std::int64_t> acknowledged_shared_{0};

    // The publisher thread's.
    bool socket_open_ = false;
    bool connack_ = false;  // the broker accepted; take_up_connection() not yet run
    Clock::time_point next_attempt_{};
    Clock::time_point attempt_started_{};
    std::chrono::milliseconds backoff_{1000};
    std::string last_problem_;     // with the broker, as last reported
    std::string outbox_problem_;   // with the history, as last reported
    std::string refusal_;          // why the broker refused the connection just made
    bool ever_connected_ = false;
    std::int64_t cursor_ = 0;                      // the last row published
    std::map<int, std::int64_t> in_flight_;        // message id: row
    std::set<int> farewell_;                       // message ids of the "offline" sent on stopping
    std::set<std::int64_t> unacknowledged_;
    std::int64_t acknowledged_ = 0;
    Clock::time_point last_saved_{};
    Clock::time_point last_counted_{};
    std::map<std::uint32_t, MeterEnergyGuard> guards_;
    std::map<std::string, bool> online_;           // availability published, by meter
    std::map<std::uint32_t, MeterIdentity> announced_;
    // The round time of each series' last published state (publish_interval).
    std::map<std::pair<std::uint32_t, std::string>, boost::posix_time::ptime> last_published_;

    // Shared with the other threads.
    std::mutex mutex_;
    std::map<std::uint32_t, MeterIdentity> meters_;  // by data id
    // Every meter configured since the start, by data id and series: the
    // rounds of one a reload removed are still published, under its own name.
    std::map<std::pair<std::uint32_t, std::string>, MeterIdentity> known_;
    bool meters_changed_ = true;
    std::map<std::uint32_t, Clock::time_point> last_round_;  // live rounds, by data id
    bool overflow_said_ = false;
};

}  // namespace pondrel
