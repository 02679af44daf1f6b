#include "mqtt_publisher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/time_parsers.hpp>
#include <mosquitto.h>

#include "mqtt_messages.h"
#include "round_values.h"

namespace pondrel {

namespace {

using namespace std::chrono_literals;

constexpr auto kLongestBackoff = 30s;
constexpr auto kConnectAnswer = 10s;
constexpr auto kSaveEvery = 250ms;

// The connection to the broker failed; distinct from the outbox's failures,
// which leave the connection alone.
struct BrokerFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// libmosquitto's global state, made once for the process.
void init_library() {
    static const int done = [] {
        mosquitto_lib_init();
        return 0;
    }();
    (void)done;
}

// libmosquitto's texts end in a full stop; ours go on after them.
std::string without_stop(std::string text) {
    while (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string problem_of(int rc, int error) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(error);
    return without_stop(mosquitto_strerror(rc));
}

// A row's stored local time ("YYYY-MM-DDTHH:MM:SS"), if it reads as one.
std::optional<boost::posix_time::ptime> local_time_of(const std::string& saved_at) {
    std::string text = saved_at;
    const auto t = text.find('T');
    if (t != std::string::npos) text[t] = ' ';
    try {
        return boost::posix_time::time_from_string(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The stored local time with the machine's UTC offset.
std::string time_of(const std::string& saved_at) {
    const auto local = local_time_of(saved_at);
    return local ? iso_time_with_offset(*local) : saved_at;
}

}  // namespace

MqttPublisher::MqttPublisher(MqttConfig config, std::unique_ptr<Outbox> outbox, Report report)
    : config_(std::move(config)),
      report_(std::move(report)),
      name_("MQTT broker " + config_.broker),
      outbox_(std::move(outbox)) {
    init_library();
    acknowledged_ = cursor_ = outbox_->acknowledged();
    acknowledged_shared_ = acknowledged_;
    client_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, &MqttPublisher::connect_callback);
    mosquitto_publish_callback_set(client_, &MqttPublisher::publish_callback);
    mosquitto_message_callback_set(client_, &MqttPublisher::message_callback);
    int rc = MOSQ_ERR_SUCCESS;
    if (config_.username) {
        rc = mosquitto_username_pw_set(client_, config_.username->c_str(),
                                       config_.password_file ? config_.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        rc = mosquitto_tls_set(client_, config_.ca_file ? config_.ca_file->c_str() : nullptr,
                               config_.ca_file ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
    }
    const std::string status = status_topic(config_.topic_prefix);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", config_.qos, true);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (rc != MOSQ_ERR_SUCCESS || wake_fd_ < 0) {
        const std::string why = wake_fd_ < 0 ? std::strerror(errno) : problem_of(rc, errno);
        mosquitto_destroy(client_);
        if (wake_fd_ >= 0) close(wake_fd_);
        throw std::runtime_error("cannot set up the MQTT client for " + config_.broker + ": " + why);
    }
}

MqttPublisher::~MqttPublisher() {
    stop();
    mosquitto_destroy(client_);
    close(wake_fd_);
}

void MqttPublisher::set_meters(const std::vector<MeterIdentity>& meters) {
    std::lock_guard<std::mutex> lock(mutex_);
    meters_.clear();
    for (const MeterIdentity& meter : meters) {
        meters_[meter.data_id] = meter;
        known_[{meter.data_id, meter.series}] = meter;
    }
    meters_changed_ = true;
    wake();
}

void MqttPublisher::start() { thread_ = std::thread([this] { run(); }); }

void MqttPublisher::stop() {
    stop_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void MqttPublisher::write(const CompletedRound& round) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_round_[round.meter->data_id] = Clock::now();
    }
    wake();
}

void MqttPublisher::wake() {
    if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
}

std::optional<std::int64_t> MqttPublisher::keep_after() {
    if (waiting_ <= config_.max_pending) return acknowledged_shared_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!overflow_said_) {
        overflow_said_ = true;
        report_(Severity::Warning, std::to_string(waiting_.load()) + " rounds wait for " + name_ + ", more than max_pending (" +
                std::to_string(config_.max_pending) + "); retention deletes old ones that were not published");
    }
    return std::nullopt;
}

void MqttPublisher::connect_callback(mosquitto*, void* self, int rc) { static_cast<MqttPublisher*>(self)->on_connect(rc); }

void MqttPublisher::message_callback(mosquitto*, void* self, const mosquitto_message* message) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    // Home Assistant says "online" when it starts: it gets the discovery again.
    const std::string payload(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    if (payload == "online" && message->topic == publisher->config_.discovery_prefix + "/status") {
        publisher->announced_.clear();
        std::lock_guard<std::mutex> lock(publisher->mutex_);
        publisher->meters_changed_ = true;
    }
}

void MqttPublisher::publish_callback(mosquitto*, void* self, int mid) {
    static_cast<MqttPublisher*>(self)->on_publish(mid);
}

void MqttPublisher::connect() {
    attempt_started_ = Clock::now();
    errno = 0;
    const int rc = mosquitto_connect_async(client_, config_.host.c_str(), config_.port, config_.keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) {
        lost("cannot connect: " + problem_of(rc, errno));
        return;
    }
    socket_open_ = true;
}

void MqttPublisher::lost(const std::string& why) {
    const bool was_connected = connected_;
    mosquitto_disconnect(client_);
    socket_open_ = false;
    connected_ = false;
    connack_ = false;
    in_flight_.clear();
    unacknowledged_.clear();
    cursor_ = acknowledged_;
    if (was_connected) backoff_ = 1000ms;
    next_attempt_ = Clock::now() + backoff_;
    backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, kLongestBackoff);
    if (why != last_problem_) {
        last_problem_ = why;
        report_(Severity::Warning, name_ + ": " + why + "; retrying, rounds wait in the history");
    }
}

void MqttPublisher::on_connect(int rc) {
    if (rc != 0) {
        // The broker closes the connection; the loop finds it lost, for this reason.
        refusal_ = "refused the connection: " + without_stop(mosquitto_connack_string(rc));
        return;
    }
    // Nothing is published from inside libmosquitto's callback (a failure
    // would be thrown through C): take_up_connection() follows in the loop.
    connack_ = true;
}

void MqttPublisher::take_up_connection() {
    connack_ = false;
    connected_ = true;
    backoff_ = 1000ms;
    report_(Severity::Info, name_ + (ever_connected_ ? " is back" : " connected") +
            (acknowledged_ < cursor_ || waiting_ > 0 ? "; publishing the rounds that wait" : ""));
    ever_connected_ = true;
    last_problem_.clear();
    guards_.clear();  // the rows after the acknowledged one go again
    publish(status_topic(config_.topic_prefix), "online", true);
    if (!config_.discovery_prefix.empty()) {
        mosquitto_subscribe(client_, nullptr, (config_.discovery_prefix + "/status").c_str(), 1);
    }
    announced_.clear();
    online_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        meters_changed_ = true;
    }
}

void MqttPublisher::on_publish(int mid) {
    farewell_.erase(mid);
    const auto found = in_flight_.find(mid);
    if (found == in_flight_.end()) return;
    unacknowledged_.erase(found->second);
    in_flight_.erase(found);
    const std::int64_t through = unacknowledged_.empty() ? cursor_ : *unacknowledged_.begin() - 1;
    if (through > acknowledged_) acknowledged_ = through;
}

void MqttPublisher::publish(const std::string& topic, const std::string& payload, bool retain, int* mid) {
    errno = 0;
    const int rc = mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     config_.qos, retain);
    if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_INVAL) {
        report_(Severity::Error, name_ + ": cannot publish to " + topic + ": " + problem_of(rc, errno));
    } else if (rc != MOSQ_ERR_SUCCESS) {
        throw BrokerFailure(problem_of(rc, errno));
    }
}

void MqttPublisher::announce_meters() {
    std::map<std::uint32_t, MeterIdentity> meters;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!meters_changed_) return;
        meters_changed_ = false;
        meters = meters_;
    }
    const bool discovery = !config_.discovery_prefix.empty();
    for (const auto& [id, meter] : announced_) {
        const auto now = meters.find(id);
        if (now != meters.end() && now->second.name == meter.name) continue;  // renamed circuits: announced again below
        if (discovery) {
            for (const MqttMessage& m : discovery_messages(config_.discovery_prefix, config_.topic_prefix, meter, true)) {
                publish(m.topic, m.payload, m.retain);
            }
        }
        publish(availability_topic(config_.topic_prefix, meter), "", true);
        online_.erase(meter.name);
    }
    for (const auto& [id, meter] : meters) {
        const auto before = announced_.find(id);
        if (before != announced_.end() && before->second.name == meter.name &&
            before->second.circuit_names == meter.circuit_names) {
            continue;
        }
        if (discovery) {
            for (const MqttMessage& m : discovery_messages(config_.discovery_prefix, config_.topic_prefix, meter)) {
                publish(m.topic, m.payload, m.retain);
            }
        }
    }
    announced_ = meters;
    update_availability(true);
}

void MqttPublisher::update_availability(bool force) {
    std::map<std::uint32_t, Clock::time_point> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = last_round_;
    }
    const auto now = Clock::now();
    for (const auto& [id, meter] : announced_) {
        const auto round = last.find(id);
        const bool online = round != last.end() && !is_stale(meter, now - round->second);
        const auto said = online_.find(meter.name);
        if (!force && said != online_.end() && said->second == online) continue;
        publish(availability_topic(config_.topic_prefix, meter), online ? "online" : "offline", true);
        online_[meter.name] = online;
    }
}

void MqttPublisher::publish_row(const History::Row& row) {
    MeterIdentity meter;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A row names its meter's series; rows from before rows did, only their data id.
        if (!row.meter.empty()) {
            const auto found = known_.find({static_cast<std::uint32_t>(row.data_id), row.meter});
            if (found == known_.end()) return;  // of no meter configured in this run: passed over
            meter = found->second;
        } else {
            const auto found = meters_.find(static_cast<std::uint32_t>(row.data_id));
            if (found == meters_.end()) return;
            meter = found->second;
        }
    }
    // At most one state a publish interval, by the rounds' own times, so a
    // back-fill is thinned as live rounds are; the history keeps them all. A
    // time that does not read is published.
    if (config_.publish_interval_s > 0) {
        if (const auto at = local_time_of(row.saved_at)) {
            auto& last = last_published_[{meter.data_id, meter.series}];
            if (!last.is_not_a_date_time() &&
                *at - last < boost::posix_time::milliseconds(static_cast<long>(config_.publish_interval_s * 1000))) {
                return;
            }
            last = *at;
        }
    }
    const std::optional<RoundValues> values = round_values(row.record);
    if (!values) return;  // not a round of this meter
    auto guard = guards_.find(row.data_id);
    if (guard == guards_.end()) {
        guard = guards_.emplace(row.data_id, MeterEnergyGuard{}).first;
        if (const auto before = outbox_->record_at_or_before(row.data_id, acknowledged_)) {
            if (const auto seed = round_values(*before)) guard->second.seed(seed->energy);
        }
    }
    std::vector<std::string> resets;
    const auto verdicts = guard->second.take(values->energy, meter.name, resets);
    for (const std::string& line : resets) report_(Severity::Warning, line + "; published");
    std::array<bool, pondrel_meter::kCircuits> taken{};
    for (int n = 0; n < pondrel_meter::kCircuits; ++n) taken[n] = verdicts[n] != EnergyGuard::Verdict::Refused;
    int mid = 0;
    publish(state_topic(config_.topic_prefix, meter),
            state_payload(row.id, row.data_id, time_of(row.saved_at), *values, taken), false, &mid);
    if (config_.qos == 0) return;  // nothing to wait for: it is gone once written
    in_flight_[mid] = row.id;
    unacknowledged_.insert(row.id);
}

void MqttPublisher::fill_window() {
    while (unacknowledged_.size() < kWindow) {
        const auto rows = outbox_->rows_after(cursor_, static_cast<int>(kWindow - unacknowledged_.size()));
        if (rows.empty()) break;
        for (const History::Row& row : rows) {
            publish_row(row);
            cursor_ = row.id;
        }
    }
    if (unacknowledged_.empty() && cursor_ > acknowledged_) acknowledged_ = cursor_;
}

void MqttPublisher::save_acknowledged(bool now) {
    acknowledged_shared_ = acknowledged_;
    if (acknowledged_ <= outbox_->acknowledged()) return;
    if (!now && Clock::now() - last_saved_ < kSaveEvery) return;
    last_saved_ = Clock::now();
    outbox_->acknowledge(acknowledged_);
}

void MqttPublisher::run() {
    while (!stop_) {
        try {
            const auto now = Clock::now();
            if (!socket_open_ && now >= next_attempt_) connect();
            pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
            nfds_t count = 1;
            const int socket = mosquitto_socket(client_);
            if (socket_open_ && socket >= 0) {
                fds[1] = {socket, static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0)), 0};
                count = 2;
            }
            int timeout_ms = 1000;
            if (!socket_open_) {
                const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now).count();
                timeout_ms = static_cast<int>(std::max<long long>(0, std::min<long long>(until, 1000)));
            }
            ::poll(fds, count, timeout_ms);
            if (fds[0].revents & POLLIN) {
                eventfd_t ignored;
                eventfd_read(wake_fd_, &ignored);
            }
            if (count == 2) {
                errno = 0;
                int rc = MOSQ_ERR_SUCCESS;
                if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(client_, 1);
                if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT)) rc = mosquitto_loop_write(client_, 1);
                if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(client_);
                if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) {
                    lost(!refusal_.empty() ? std::exchange(refusal_, std::string())
                         : rc == MOSQ_ERR_SUCCESS ? "connection closed"
                                                  : problem_of(rc, errno));
                }
            }
            if (connack_) take_up_connection();
            if (socket_open_ && !connected_ && Clock::now() - attempt_started_ > kConnectAnswer) {
                lost("no answer to the connection within 10 s");
            }
            if (connected_) {
                announce_meters();
                fill_window();
                update_availability(false);
            }
            save_acknowledged(false);
            if (Clock::now() - last_counted_ >= 1s) {
                last_counted_ = Clock::now();
                waiting_ = outbox_->waiting();
            }
            if (!outbox_problem_.empty()) {
                outbox_problem_.clear();
                report_(Severity::Info, name_ + ": the history's outbox answers again");
            }
        } catch (const BrokerFailure& e) {
            lost(e.what());
        } catch (const std::exception& e) {
            // The history cannot be read or written now (locked, full): the
            // rounds wait; the next pass tries again.
            if (outbox_problem_ != e.what()) {
                outbox_problem_ = e.what();
                report_(Severity::Warning, name_ + ": " + e.what() + "; trying again");
            }
        }
    }
    // Going: "offline", and a moment for the acknowledgements of what went.
    try {
        if (connected_) {
            // Every meter's "offline" is waited for as well: beyond the broker's
            // window of messages in flight, they go out only as acknowledgements come.
            for (const auto& [id, meter] : announced_) {
                int mid = 0;
                publish(availability_topic(config_.topic_prefix, meter), "offline", true, &mid);
                farewell_.insert(mid);
            }
            int mid = 0;
            publish(status_topic(config_.topic_prefix), "offline", true, &mid);
            farewell_.insert(mid);
            const auto until = Clock::now() + 3s;
            while ((!unacknowledged_.empty() || !farewell_.empty()) && Clock::now() < until &&
                   mosquitto_socket(client_) >= 0) {
                pollfd fd{mosquitto_socket(client_),
                          static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0)), 0};
                ::poll(&fd, 1, 50);
                if (fd.revents & (POLLIN | POLLERR | POLLHUP)) mosquitto_loop_read(client_, 1);
                if (fd.revents & POLLOUT) mosquitto_loop_write(client_, 1);
            }
            while (mosquitto_want_write(client_) && mosquitto_loop_write(client_, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        save_acknowledged(true);
    } catch (const std::exception& e) {
        report_(Severity::Error, name_ + ": " + e.what());
    }
    mosquitto_disconnect(client_);
    connected_ = false;
}

}  // namespace pondrel
