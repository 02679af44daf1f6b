// Keeps an energy counter from going backwards where it is published: a
// reading that is not finite, or lower than the last one taken, is refused;
// one that stays lower for kResetRounds readings in a row is a real reset of
// the meter's counter and is taken. Consumers that book every rise as
// consumption (a dip followed by the true value would book it twice) only
// ever see a counter that rises or resets. One circuit; one thread.
#pragma once

#include <optional>

namespace pondrel {

class EnergyGuard {
public:
    static constexpr int kResetRounds = 10;

    enum class Verdict { Taken, Refused, Reset };
    Verdict take(float kwh);
    // The last reading taken.
    std::optional<float> last() const { return last_; }
    // Starts from a reading published before (after a restart).
    void seed(float kwh);

private:
    std::optional<float> last_;
    int lower_in_a_row_ = 0;
};

}  // namespace pondrel
