#include "hour_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pondrel {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the stored figures are little-endian");

namespace {

// Each circuit as stored: energy_first, energy_last (float), energy_used,
// power_sum (double), power_max, peak_w (float), quarter_sum (double).
constexpr std::size_t kStoredCircuit = 4 + 4 + 8 + 8 + 4 + 4 + 8;

template <typename T>
void put(unsigned char*& at, T value) {
    std::memcpy(at, &value, sizeof value);
    at += sizeof value;
}

template <typename T>
void take(const unsigned char*& at, T& value) {
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
}

// Gaps longer than this (a clock set years ahead) are not spread: their
// rise goes to the later round's hour.
constexpr std::int64_t kLongestSpreadS = 400LL * 24 * 3600;

}  // namespace

double HourStatistics::open_quarter_w() const {
    double sum = 0;
    for (const Circuit& c : circuits) sum += c.quarter_sum;
    return quarter_rounds > 0 ? sum / static_cast<double>(quarter_rounds) : 0;
}

double HourStatistics::circuit_peak_w(int n) const {
    const Circuit& c = circuits[static_cast<std::size_t>(n)];
    const double open = quarter_rounds > 0 ? c.quarter_sum / static_cast<double>(quarter_rounds) : 0;
    return std::max<double>(c.peak_w, open);
}

double HourStatistics::meter_peak() const {
    if (quarter_rounds == 0) return meter_peak_w;
    return meter_peak_quarter < 0 ? open_quarter_w() : std::max(meter_peak_w, open_quarter_w());
}

int HourStatistics::meter_peak_at_quarter() const {
    if (quarter_rounds == 0) return meter_peak_quarter;
    return meter_peak_quarter < 0 || open_quarter_w() > meter_peak_w ? quarter : meter_peak_quarter;
}

std::vector<unsigned char> HourStatistics::stored_circuits() const {
    std::vector<unsigned char> stored(kStoredCircuit * kCircuits);
    unsigned char* at = stored.data();
    for (const Circuit& c : circuits) {
        put(at, c.energy_first);
        put(at, c.energy_last);
        put(at, c.energy_used);
        put(at, c.power_sum);
        put(at, c.power_max);
        put(at, c.peak_w);
        put(at, c.quarter_sum);
    }
    return stored;
}

bool HourStatistics::set_circuits(const unsigned char* stored, std::size_t size) {
    if (stored == nullptr || size != kStoredCircuit * kCircuits) return false;
    for (Circuit& c : circuits) {
        take(stored, c.energy_first);
        take(stored, c.energy_last);
        take(stored, c.energy_used);
        take(stored, c.power_sum);
        take(stored, c.power_max);
        take(stored, c.peak_w);
        take(stored, c.quarter_sum);
    }
    return true;
}

void StatisticsBook::resume(std::int64_t unix_s, const std::array<float, HourStatistics::kCircuits>& booked) {
    last_unix_ = unix_s;
    guards_ = {};
    for (std::size_t n = 0; n < guards_.size(); ++n) guards_[n].seed(booked[n]);
}

HourStatistics& StatisticsBook::hour_in(HourStore& store, std::int64_t hour) {
    if (!open_ || open_->hour != hour) {
        open_ = store.read_hour(hour);
        if (!open_) {
            open_ = HourStatistics{};
            open_->hour = hour;
        }
    }
    return *open_;
}

bool StatisticsBook::add(HourStore& store, std::int64_t unix_s, const RoundValues& values, std::int64_t row) {
    bool finite = std::isfinite(values.voltage);
    for (int n = 0; n < HourStatistics::kCircuits; ++n) {
        finite = finite && std::isfinite(values.power[n]) && std::isfinite(values.energy[n]);
    }
    if (!finite) return false;

    // What each circuit's counter rose by since the series' last round.
    std::array<double, HourStatistics::kCircuits> rise{};
    for (std::size_t n = 0; n < guards_.size(); ++n) {
        const std::optional<float> before = guards_[n].last();
        switch (guards_[n].take(values.energy[n])) {
            case EnergyGuard::Verdict::Taken:
                rise[n] = before ? static_cast<double>(values.energy[n]) - static_cast<double>(*before) : 0.0;
                break;
            case EnergyGuard::Verdict::Reset:
                rise[n] = values.energy[n];
                break;
            case EnergyGuard::Verdict::Refused:
                break;
        }
    }

    const std::int64_t hour = hour_of(unix_s);
    const std::int64_t gap = last_unix_ ? unix_s - *last_unix_ : 0;
    // Splits the time from the last round to this one over the hours it
    // covers, calling `share(hour, seconds)` for each, oldest first.
    const auto over_gap = [&](auto share) {
        for (std::int64_t at = *last_unix_; at < unix_s;) {
            const std::int64_t h = hour_of(at);
            const std::int64_t end = std::min(unix_s, (h + 1) * 3600);
            share(h, end - at);
            at = end;
        }
    };
    const bool covered = gap > 0 && gap <= HourStatistics::kCoveredGapS;
    const bool spread = gap > 3600 && gap <= kLongestSpreadS;
    if (covered || spread) {
        std::array<double, HourStatistics::kCircuits> booked{};
        over_gap([&](std::int64_t h, std::int64_t seconds) {
            if (h == hour) return;  // this round's own hour is written below
            HourStatistics& earlier = hour_in(store, h);
            if (covered) earlier.covered_ms += seconds * 1000;
            if (spread) {
                for (std::size_t n = 0; n < rise.size(); ++n) {
                    const double part = rise[n] * static_cast<double>(seconds) / static_cast<double>(gap);
                    earlier.circuits[n].energy_used += part;
                    booked[n] += part;
                }
            }
            store.write_hour(earlier);
        });
        // The round's own hour takes what is left, so the parts add up to the rise.
        for (std::size_t n = 0; n < rise.size(); ++n) rise[n] -= booked[n];
    }

    HourStatistics& h = hour_in(store, hour);
    if (covered) h.covered_ms += (unix_s - std::max(*last_unix_, hour * 3600)) * 1000;
    const int quarter = static_cast<int>((unix_s - hour * 3600) / 900);
    const bool first = h.rounds == 0;
    if (first || values.voltage < h.voltage_min) h.voltage_min = values.voltage;
    if (first || values.voltage > h.voltage_max) h.voltage_max = values.voltage;
    h.voltage_sum += values.voltage;
    if (first || h.quarter_rounds == 0) {
        h.quarter = quarter;
    } else if (quarter > h.quarter) {
        // The open quarter is complete: its means are the candidates for the peaks.
        const double meter = h.open_quarter_w();
        for (HourStatistics::Circuit& c : h.circuits) {
            const double mean = c.quarter_sum / static_cast<double>(h.quarter_rounds);
            c.peak_w = std::max(c.peak_w, static_cast<float>(mean));
            c.quarter_sum = 0;
        }
        if (h.meter_peak_quarter < 0 || meter > h.meter_peak_w) {
            h.meter_peak_w = meter;
            h.meter_peak_quarter = h.quarter;
        }
        h.quarter = quarter;
        h.quarter_rounds = 0;
    }
    ++h.quarter_rounds;
    for (std::size_t n = 0; n < rise.size(); ++n) {
        HourStatistics::Circuit& c = h.circuits[n];
        const float booked = guards_[n].last().value_or(values.energy[n]);
        if (first) c.energy_first = booked;
        c.energy_last = booked;
        c.energy_used += rise[n];
        c.power_sum += values.power[n];
        if (first || values.power[n] > c.power_max) c.power_max = values.power[n];
        c.quarter_sum += values.power[n];
    }
    if (first) h.first_row = row;
    h.last_row = row;
    h.last_s = unix_s;
    ++h.rounds;
    store.write_hour(h);
    last_unix_ = unix_s;
    return true;
}

}  // namespace pondrel
