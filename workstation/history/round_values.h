// A completed round's readings as numbers, read from the record the driver
// stored (never from its snapshot text), and the round's time as ISO 8601
// with the machine's UTC offset at that time. Pure; any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "pondrel_meter.h"

namespace pondrel {

struct RoundValues {
    float voltage = 0;                                   // V
    std::array<float, pondrel_meter::kCircuits> current{};  // A
    std::array<float, pondrel_meter::kCircuits> power{};    // W
    std::array<float, pondrel_meter::kCircuits> energy{};   // kWh, the meter's counter
};

// The readings of a record, or nothing when it is not a record of this meter.
std::optional<RoundValues> round_values(const std::vector<unsigned char>& record);

// A reading as text: the shortest decimal that reads back as exactly this
// float (230.12346), or "" when it is not a finite number (each format says
// that its own way).
std::string reading_text(float value);

// "2026-12-10T16:05:00+01:00" for a local time; "" for a special time.
std::string iso_time_with_offset(const boost::posix_time::ptime& local);

}  // namespace pondrel
