#include "site_metrics.h"

#include <cmath>
#include <limits>

#include <prometheus/metric_family.h>

namespace pondrel {

namespace {

constexpr int kCircuits = pondrel_meter::kCircuits;
constexpr double kJoulesPerKwh = 3.6e6;
const std::vector<double> kDurationBounds{0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

using Labels = std::vector<prometheus::ClientMetric::Label>;

prometheus::MetricFamily family(const char* name, const char* help, prometheus::MetricType type) {
    prometheus::MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

void add(prometheus::MetricFamily& f, Labels labels, double value) {
    prometheus::ClientMetric metric;
    metric.label = std::move(labels);
    if (f.type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    f.metric.push_back(std::move(metric));
}

Labels meter_labels(const MeterIdentity& meter) {
    return {{"data_id", std::to_string(meter.data_id)}, {"meter", meter.name}};
}

Labels circuit_labels(const MeterIdentity& meter, int n) {
    return {{"circuit", std::to_string(n + 1)}, {"data_id", std::to_string(meter.data_id)}, {"meter", meter.name}};
}

}  // namespace

SiteMetrics::SiteMetrics(Report report, std::function<Clock::time_point()> now)
    : report_(std::move(report)), now_(std::move(now)) {}

void SiteMetrics::set_site(const std::vector<MeterIdentity>& meters, const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, Meter> next;
    for (const MeterIdentity& identity : meters) {
        auto kept = meters_.find(identity.name);
        Meter meter = kept != meters_.end() && kept->second.identity.data_id == identity.data_id ? kept->second
                                                                                                  : Meter{};
        meter.identity = identity;
        meter.buckets.resize(kDurationBounds.size() + 1);
        for (RoundFailure why : kRoundFailures) meter.failures.emplace(why, 0.0);
        next.emplace(identity.name, std::move(meter));
    }
    meters_.swap(next);
    std::map<std::string, bool> next_lines;
    for (const std::string& line : lines) {
        const auto kept = lines_.find(line);
        next_lines[line] = kept != lines_.end() && kept->second;
    }
    lines_.swap(next_lines);
}

void SiteMetrics::set_waiting(std::function<double()> history, std::function<double()> broker) {
    std::lock_guard<std::mutex> lock(mutex_);
    history_waiting_ = std::move(history);
    broker_waiting_ = std::move(broker);
}

void SiteMetrics::add_waiting(std::string family, std::string help, std::function<double()> waiting) {
    std::lock_guard<std::mutex> lock(mutex_);
    other_waiting_.push_back({std::move(family), std::move(help), std::move(waiting)});
}

void SiteMetrics::write(const CompletedRound& round) {
    const std::optional<RoundValues> values = round_values(round.record);
    std::vector<std::string> resets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = meters_.find(round.meter->name);
        if (found == meters_.end()) return;
        Meter& meter = found->second;
        meter.last_round = now_();
        meter.last_round_unix = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        meter.rounds += 1;
        std::size_t bucket = 0;
        while (bucket < kDurationBounds.size() && round.duration_s > kDurationBounds[bucket]) ++bucket;
        ++meter.buckets[bucket];
        ++meter.durations;
        meter.duration_sum += round.duration_s;
        meter.values = values;
        if (values) {
            const auto verdicts = meter.guard.take(values->energy, meter.identity.name, resets);
            for (int n = 0; n < kCircuits; ++n) {
                if (verdicts[n] == EnergyGuard::Verdict::Refused) meter.energy_rejected[n] += 1;
            }
        }
    }
    for (const std::string& line : resets) report_(Severity::Warning, line);
}

void SiteMetrics::failed(const MeterIdentity& meter, RoundFailure why) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = meters_.find(meter.name);
    if (found != meters_.end()) found->second.failures[why] += 1;
}

void SiteMetrics::implausible(const MeterIdentity& meter) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = meters_.find(meter.name);
    if (found != meters_.end()) found->second.implausible += 1;
}

void SiteMetrics::line_state(const std::string& line, bool up) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line] = up;
}

std::vector<prometheus::MetricFamily> SiteMetrics::Collect() const {
    using prometheus::MetricType;
    auto voltage = family("pondrel_voltage_volts", "Supply voltage of the meter", MetricType::Gauge);
    auto current = family("pondrel_current_amperes", "Current of a circuit", MetricType::Gauge);
    auto power = family("pondrel_power_watts", "Active power of a circuit", MetricType::Gauge);
    auto energy = family("pondrel_energy_joules_total", "Energy counter of a circuit", MetricType::Counter);
    auto rejected = family("pondrel_energy_rejected_total",
                           "Energy readings not taken: not a number, or lower than the last taken",
                           MetricType::Counter);
    auto up = family("pondrel_up", "1 while the meter is not stale: a round completed within twice its interval, its line's timeout and a second", MetricType::Gauge);
    auto last = family("pondrel_last_round_timestamp_seconds", "When the meter's last round completed",
                       MetricType::Gauge);
    auto duration = family("pondrel_round_duration_seconds", "How long the meter's rounds took",
                           MetricType::Histogram);
    auto rounds = family("pondrel_rounds_total", "Completed rounds of the meter", MetricType::Counter);
    auto failures = family("pondrel_round_failures_total", "Failed round attempts of the meter, by reason",
                           MetricType::Counter);
    auto implausible = family("pondrel_implausible_rounds_total",
                              "Completed rounds whose readings the meter cannot have measured (stored as they came)",
                              MetricType::Counter);
    auto info = family("pondrel_circuit_info", "Always 1: the name the site gives a circuit (join on meter and circuit)",
                       MetricType::Gauge);
    auto line_up = family("pondrel_line_up", "1 while the line is open", MetricType::Gauge);
    auto history = family("pondrel_history_pending_records", "Completed rounds not yet in the history",
                          MetricType::Gauge);
    auto broker = family("pondrel_mqtt_pending_rounds", "Stored rounds the MQTT broker has not acknowledged",
                         MetricType::Gauge);

    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    for (const auto& [name, meter] : meters_) {
        const bool fresh = meter.last_round && !is_stale(meter.identity, now - *meter.last_round);
        add(up, meter_labels(meter.identity), fresh ? 1 : 0);
        // Every circuit's name, whatever its state: a rename changes this
        // series, not the readings' series.
        for (int n = 1; n <= kCircuits; ++n) {
            add(info, {{"circuit", std::to_string(n)}, {"meter", meter.identity.name},
                       {"name", circuit_name(meter.identity, n)}},
                1);
        }
        add(rounds, meter_labels(meter.identity), meter.rounds);
        add(implausible, meter_labels(meter.identity), meter.implausible);
        if (meter.last_round) add(last, meter_labels(meter.identity), meter.last_round_unix);
        for (const auto& [why, count] : meter.failures) {
            Labels labels = meter_labels(meter.identity);
            labels.push_back({"reason", round_failure_name(why)});
            add(failures, std::move(labels), count);
        }
        prometheus::ClientMetric histogram;
        histogram.label = meter_labels(meter.identity);
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < meter.buckets.size(); ++b) {
            cumulative += meter.buckets[b];
            histogram.histogram.bucket.push_back(
                {cumulative, b < kDurationBounds.size() ? kDurationBounds[b] : std::numeric_limits<double>::infinity()});
        }
        histogram.histogram.sample_count = meter.durations;
        histogram.histogram.sample_sum = meter.duration_sum;
        duration.metric.push_back(std::move(histogram));
        for (int n = 0; n < kCircuits; ++n) add(rejected, circuit_labels(meter.identity, n), meter.energy_rejected[n]);
        if (!fresh || !meter.values) continue;  // old readings are never shown as current
        const RoundValues& v = *meter.values;
        if (std::isfinite(v.voltage)) add(voltage, meter_labels(meter.identity), v.voltage);
        for (int n = 0; n < kCircuits; ++n) {
            if (std::isfinite(v.current[n])) add(current, circuit_labels(meter.identity, n), v.current[n]);
            if (std::isfinite(v.power[n])) add(power, circuit_labels(meter.identity, n), v.power[n]);
            if (const auto kwh = meter.guard.circuit(n).last()) {
                add(energy, circuit_labels(meter.identity, n), static_cast<double>(*kwh) * kJoulesPerKwh);
            }
        }
    }
    for (const auto& [name, open] : lines_) add(line_up, {{"line", name}}, open ? 1 : 0);
    if (history_waiting_) add(history, {}, history_waiting_());
    if (broker_waiting_) add(broker, {}, broker_waiting_());
    std::vector<prometheus::MetricFamily> families;
    for (auto* f : {&voltage, &current, &power, &energy, &rejected, &up, &info, &last, &duration, &rounds,
                    &implausible, &failures, &line_up, &history, &broker}) {
        if (!f->metric.empty()) families.push_back(std::move(*f));
    }
    for (const Waiting& waiting : other_waiting_) {
        auto other = family(waiting.family.c_str(), waiting.help.c_str(), MetricType::Gauge);
        add(other, {}, waiting.count());
        families.push_back(std::move(other));
    }
    return families;
}

}  // namespace pondrel
