// A series' statistics over one hour of UTC, kept for years after its rows
// are gone, and the book that writes them round by round.
//
// The energy rule: a circuit's energy between two consecutive rounds of a
// series is its counter's rise (after a reset, as EnergyGuard tells one, the
// new counter counts from zero; a dip it refuses books nothing); it belongs
// to the hour of the later round, except that a rise across a gap longer than
// an hour is spread over the gap's hours in proportion to the time of the gap
// each holds. Consecutive periods therefore add up: over any range without a
// reset, the hours' energies sum to the counter's rise between the range's
// first and last round.
//
// Pure; one series per book; one thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "energy_guard.h"
#include "round_values.h"

namespace pondrel {

struct HourStatistics {
    static constexpr int kCircuits = pondrel_meter::kCircuits;
    // Rounds further apart than this leave the time between them uncovered.
    static constexpr std::int64_t kCoveredGapS = 300;

    std::int64_t hour = 0;       // UTC seconds since the epoch / 3600
    std::int64_t rounds = 0;     // rounds of the hour (0: only energy spread over a gap)
    std::int64_t first_row = 0;  // the history rows of its first and last round
    std::int64_t last_row = 0;
    std::int64_t last_s = 0;      // UTC seconds of its last round
    std::int64_t covered_ms = 0;  // the time of the hour between rounds at most kCoveredGapS apart
    double voltage_min = 0;
    double voltage_max = 0;
    double voltage_sum = 0;
    // The quarter hour (0-3) still being summed, and its rounds.
    int quarter = 0;
    std::int64_t quarter_rounds = 0;
    // The meter's (all circuits') highest mean power over a completed
    // quarter hour of this hour, in W, and which quarter it was (-1: none yet).
    double meter_peak_w = 0;
    int meter_peak_quarter = -1;

    struct Circuit {
        float energy_first = 0;  // kWh: the counter as booked at the hour's first round
        float energy_last = 0;   // and at its last
        double energy_used = 0;  // kWh booked to this hour
        double power_sum = 0;    // W, over the hour's rounds
        float power_max = 0;
        float peak_w = 0;        // highest mean power over a completed quarter hour
        double quarter_sum = 0;  // W, over the open quarter's rounds
    };
    std::array<Circuit, kCircuits> circuits{};

    // The highest quarter-hour mean power of circuit `n` and of the meter,
    // the open quarter included, and the quarter (0-3) of the meter's.
    double circuit_peak_w(int n) const;
    // The meter's mean power over the open quarter's rounds so far (0: none).
    double open_quarter_w() const;
    double meter_peak() const;
    int meter_peak_at_quarter() const;

    // The per-circuit figures as stored, little-endian.
    std::vector<unsigned char> stored_circuits() const;
    // Takes them back; false when `stored` is not of that size.
    bool set_circuits(const unsigned char* stored, std::size_t size);
};

// Where a book reads and writes the hours of its series.
class HourStore {
public:
    virtual ~HourStore() = default;
    virtual std::optional<HourStatistics> read_hour(std::int64_t hour) = 0;
    virtual void write_hour(const HourStatistics& statistics) = 0;
};

class StatisticsBook {
public:
    // Goes on from the series' last stored round: its time and its counters as booked.
    void resume(std::int64_t unix_s, const std::array<float, HourStatistics::kCircuits>& booked);
    // Books the round stored as history row `row`, at `unix_s`. Returns
    // false, booking nothing, when a reading is not a finite number.
    bool add(HourStore& store, std::int64_t unix_s, const RoundValues& values, std::int64_t row);

private:
    HourStatistics& hour_in(HourStore& store, std::int64_t hour);
    std::optional<std::int64_t> last_unix_;
    std::array<EnergyGuard, HourStatistics::kCircuits> guards_{};
    // The hour last written, as stored.
    std::optional<HourStatistics> open_;
};

// The hour of `unix_s` (floor of a division by 3600, also before 1970).
inline std::int64_t hour_of(std::int64_t unix_s) { return unix_s >= 0 ? unix_s / 3600 : -((-unix_s + 3599) / 3600); }

}  // namespace pondrel
