#include "minute_totals.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace pondrel {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the stored sums are little-endian doubles");

bool MinuteTotals::add(const RoundValues& values, std::int64_t row) {
    bool finite = std::isfinite(values.voltage);
    for (int n = 0; n < kCircuits; ++n) {
        finite = finite && std::isfinite(values.current[n]) && std::isfinite(values.power[n]) &&
                 std::isfinite(values.energy[n]);
    }
    if (!finite) return false;
    const bool first = rounds == 0;
    if (first || values.voltage < voltage_min) voltage_min = values.voltage;
    if (first || values.voltage > voltage_max) voltage_max = values.voltage;
    voltage_sum += values.voltage;
    for (int n = 0; n < kCircuits; ++n) {
        current_sum[n] += values.current[n];
        power_sum[n] += values.power[n];
    }
    if (first || row < first_row) {
        first_row = row;
        for (int n = 0; n < kCircuits; ++n) energy_first[n] = values.energy[n];
    }
    if (first || row > last_row) {
        last_row = row;
        for (int n = 0; n < kCircuits; ++n) energy_last[n] = values.energy[n];
    }
    ++rounds;
    return true;
}

void MinuteTotals::merge(const MinuteTotals& other) {
    if (other.rounds == 0) return;
    if (rounds == 0) {
        const std::int64_t keep = minute;
        *this = other;
        minute = keep;
        return;
    }
    voltage_min = std::min(voltage_min, other.voltage_min);
    voltage_max = std::max(voltage_max, other.voltage_max);
    voltage_sum += other.voltage_sum;
    for (int n = 0; n < kCircuits; ++n) {
        current_sum[n] += other.current_sum[n];
        power_sum[n] += other.power_sum[n];
    }
    if (other.first_row < first_row) {
        first_row = other.first_row;
        energy_first = other.energy_first;
    }
    if (other.last_row > last_row) {
        last_row = other.last_row;
        energy_last = other.energy_last;
    }
    rounds += other.rounds;
}

std::vector<unsigned char> MinuteTotals::circuits() const {
    std::vector<unsigned char> stored(4 * sizeof(PerCircuit));
    unsigned char* at = stored.data();
    for (const PerCircuit* part : {&current_sum, &power_sum, &energy_first, &energy_last}) {
        std::memcpy(at, part->data(), sizeof(PerCircuit));
        at += sizeof(PerCircuit);
    }
    return stored;
}

bool MinuteTotals::set_circuits(const unsigned char* stored, std::size_t size) {
    if (stored == nullptr || size != 4 * sizeof(PerCircuit)) return false;
    for (PerCircuit* part : {&current_sum, &power_sum, &energy_first, &energy_last}) {
        std::memcpy(part->data(), stored, sizeof(PerCircuit));
        stored += sizeof(PerCircuit);
    }
    return true;
}

std::int64_t unix_time_of(boost::posix_time::ptime local, int utc_offset_s) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return (local - epoch).total_seconds() - utc_offset_s;
}

}  // namespace pondrel
