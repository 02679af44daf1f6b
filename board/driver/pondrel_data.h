// Pondrel_Data_t: one complete set of readings of the 18-circuit meter; the
// unit that is published (type code 5156), stored in history and restored.
// It is a stored format: 231 bytes, packed, machine byte order (little-endian
// on the board), IEEE 754 single-precision floats in the meter's own units.
//   data_id u32 @0 | voltage f32 @4 | current f32[18] @8 | power f32[18] @80
//   | energy f32[18] @152 | record_time 7 bytes @224
// record_time: year u16 @224 | month @226 | day @227 | hour @228 | minute @229
//   | second @230 (u8 each), the first 7 bytes of the host's get_ttime().
// The record is copied and zero-filled only as one block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pondrel_meter.h"

constexpr int kPondrelCircuits = pondrel_meter::kCircuits;

#pragma pack(push, 1)
struct Pondrel_Time_t {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};

struct Pondrel_Data_t {
    std::uint32_t data_id;
    float voltage;
    float current[kPondrelCircuits];
    float power[kPondrelCircuits];
    float energy[kPondrelCircuits];
    Pondrel_Time_t record_time;
};
#pragma pack(pop)

constexpr std::size_t kPondrelRecordBytes = 231;
constexpr std::size_t kPondrelBlockBytes = kPondrelCircuits * sizeof(float);

static_assert(sizeof(Pondrel_Time_t) == 7, "calendar time is 7 bytes");
static_assert(sizeof(Pondrel_Data_t) == kPondrelRecordBytes, "the record is 231 bytes");
static_assert(offsetof(Pondrel_Data_t, voltage) == 4, "record layout");
static_assert(offsetof(Pondrel_Data_t, current) == 8, "record layout");
static_assert(offsetof(Pondrel_Data_t, power) == 80, "record layout");
static_assert(offsetof(Pondrel_Data_t, energy) == 152, "record layout");
static_assert(offsetof(Pondrel_Data_t, record_time) == 224, "record layout");
static_assert(sizeof(float) == 4, "floats are IEEE 754 single precision");
