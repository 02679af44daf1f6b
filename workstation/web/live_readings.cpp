#include "live_readings.h"

#include "json_text.h"

namespace pondrel {

LiveReadings::LiveReadings(std::function<Clock::time_point()> now) : now_(std::move(now)) {}

void LiveReadings::set_site(const std::vector<MeterIdentity>& meters, const std::vector<double>& intervals_s) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Meter> next;
    for (std::size_t n = 0; n < meters.size(); ++n) {
        Meter meter;
        if (const Meter* kept = find(meters[n].name); kept != nullptr && kept->identity.series == meters[n].series) {
            meter = *kept;
        }
        meter.identity = meters[n];
        meter.interval_s = n < intervals_s.size() ? intervals_s[n] : 0;
        next.push_back(std::move(meter));
    }
    meters_ = std::move(next);
}

LiveReadings::Meter* LiveReadings::find(const std::string& name) {
    for (Meter& meter : meters_) {
        if (meter.identity.name == name) return &meter;
    }
    return nullptr;
}

std::optional<MeterIdentity> LiveReadings::meter(const std::string& name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const Meter& meter : meters_) {
        if (meter.identity.name == name) return meter.identity;
    }
    return std::nullopt;
}

void LiveReadings::write(const CompletedRound& round) {
    const std::optional<RoundValues> values = round_values(round.record);
    const std::lock_guard<std::mutex> lock(mutex_);
    Meter* meter = find(round.meter->name);
    if (meter == nullptr) return;
    meter->status = values ? "ok" : "failing";
    meter->reason = values ? "" : "a record of another size";
    meter->values = values;
    meter->last_round = now_();
    meter->saved_at = round.saved_at;
    ++meter->rounds;
}

void LiveReadings::failed(const MeterIdentity& identity, RoundFailure why) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (Meter* meter = find(identity.name)) {
        meter->status = "failing";
        meter->reason = round_failure_name(why);
    }
}

void LiveReadings::implausible(const MeterIdentity& identity) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (Meter* meter = find(identity.name)) meter->status = "implausible";
}

std::string LiveReadings::meters_json() const {
    using namespace json_text;
    const Clock::time_point now = now_();
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "{\"meters\":[";
    for (std::size_t n = 0; n < meters_.size(); ++n) {
        const Meter& m = meters_[n];
        if (n > 0) out += ',';
        out += "{\"name\":";
        string(out, m.identity.name);
        out += ",\"line\":";
        string(out, m.identity.line);
        out += ",\"slave\":" + std::to_string(m.identity.slave);
        out += ",\"data_id\":" + std::to_string(m.identity.data_id);
        out += ",\"circuit_names\":[";
        for (int c = 1; c <= pondrel_meter::kCircuits; ++c) {
            if (c > 1) out += ',';
            string(out, circuit_name(m.identity, c));
        }
        out += ']';
        out += ",\"interval_s\":";
        number(out, m.interval_s);
        out += ",\"status\":";
        string(out, m.status);
        out += ",\"reason\":";
        string(out, m.reason);
        out += ",\"rounds\":" + std::to_string(m.rounds);
        if (m.last_round) {
            const double age = std::chrono::duration<double>(now - *m.last_round).count();
            out += ",\"stale\":";
            out += is_stale(m.identity, now - *m.last_round) ? "true" : "false";
            out += ",\"age_s\":";
            number(out, age);
            out += ",\"time\":";
            string(out, iso_time_with_offset(m.saved_at));
        } else {
            out += ",\"stale\":false,\"age_s\":null,\"time\":null";
        }
        if (m.values) {
            out += ",\"voltage_V\":";
            number(out, m.values->voltage);
            out += ",\"current_A\":";
            numbers(out, m.values->current);
            out += ",\"power_W\":";
            numbers(out, m.values->power);
            out += ",\"energy_kWh\":";
            numbers(out, m.values->energy);
        } else {
            out += ",\"voltage_V\":null,\"current_A\":null,\"power_W\":null,\"energy_kWh\":null";
        }
        out += '}';
    }
    out += "]}";
    return out;
}

}  // namespace pondrel
