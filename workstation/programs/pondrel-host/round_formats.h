// How pondrel-host shows one completed round on standard output. Pure.
//   json       the driver's snapshot text, byte for byte (the single-meter
//              command line), or {"meter":NAME,"data_id":N,"snapshot":TEXT}
//              with a configuration
//   table      a readable block: the meter, the round's time, the voltage in
//              V, one row per circuit (current A, power W, energy kWh) in
//              columns that hold any float ("nan" for not a number), and the
//              totals of power and energy
//   readings   one JSON object with English names and SI units, as the
//              history's export and the MQTT state name them: meter, data_id,
//              time (ISO 8601 with offset), voltage_V, current_A [18],
//              power_W [18], energy_kWh [18]; null for not a number
//   influx     one InfluxDB line-protocol line: measurement pondrel, tags
//              meter and data_id, fields voltage_V, currentN_A, powerN_W,
//              energyN_kWh, time in nanoseconds
// All but json read the round's record, never the snapshot text.
#pragma once

#include <string>

#include "outputs.h"

namespace pondrel {

// Each ends in a line feed.
std::string json_line(const CompletedRound& round, bool with_meter);
std::string table_block(const CompletedRound& round, bool with_meter);
std::string influx_line(const CompletedRound& round);
std::string readings_line(const CompletedRound& round);

}  // namespace pondrel
