// A series' rounds summed over one minute of UTC: what the history reads
// long ranges from. The figures are sums, so a minute stored in pieces (a
// restart within it) adds up the same as one stored at once. Pure; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "round_values.h"

namespace pondrel {

struct MinuteTotals {
    static constexpr int kCircuits = pondrel_meter::kCircuits;
    using PerCircuit = std::array<double, kCircuits>;

    std::int64_t minute = 0;     // UTC seconds since the epoch / 60
    std::int64_t rounds = 0;     // rounds added
    std::int64_t first_row = 0;  // the history rows they came from, lowest and highest id
    std::int64_t last_row = 0;
    double voltage_min = 0;
    double voltage_max = 0;
    double voltage_sum = 0;
    PerCircuit current_sum{};
    PerCircuit power_sum{};
    PerCircuit energy_first{};   // the counters at the first round added (lowest row)
    PerCircuit energy_last{};    // and at the last (highest row)

    // Adds the round stored as history row `row`. Returns false, adding
    // nothing, when a reading is not a finite number.
    bool add(const RoundValues& values, std::int64_t row);
    // Adds another minute's (or span's) totals, of the same series.
    void merge(const MinuteTotals& other);

    // The per-circuit sums as stored: 4 x 18 little-endian doubles.
    std::vector<unsigned char> circuits() const;
    // Takes them back; false when `stored` is not of that size.
    bool set_circuits(const unsigned char* stored, std::size_t size);
};

// Seconds since the epoch, UTC, of local time `local` at `utc_offset_s` east.
std::int64_t unix_time_of(boost::posix_time::ptime local, int utc_offset_s);

}  // namespace pondrel
