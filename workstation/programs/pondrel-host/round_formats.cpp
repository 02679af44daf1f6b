#include "round_formats.h"

#include "influx_point.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <ctime>

#include <boost/date_time/posix_time/conversion.hpp>
#include <json/value.h>
#include <json/writer.h>

#include "pondrel_data.h"
#include "round_values.h"

namespace pondrel {

namespace {

std::string shortest(float value) {
    const std::string text = reading_text(value);
    if (!text.empty()) return text;
    return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
}


std::string local_time_text(const boost::posix_time::ptime& t) {
    if (t.is_special()) return "";
    const auto date = t.date();
    const auto time = t.time_of_day();
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(date.year()),
                  static_cast<int>(date.month()), static_cast<int>(date.day()), static_cast<int>(time.hours()),
                  static_cast<int>(time.minutes()), static_cast<int>(time.seconds()));
    return text;
}

}  // namespace

std::string json_line(const CompletedRound& round, bool with_meter) {
    std::string snapshot = round.snapshot;
    while (!snapshot.empty() && (snapshot.back() == '\n' || snapshot.back() == '\r')) snapshot.pop_back();
    if (!with_meter) return snapshot + "\n";
    return "{\"meter\":" + Json::valueToQuotedString(round.meter->name.c_str()) +
           ",\"data_id\":" + std::to_string(round.meter->data_id) + ",\"snapshot\":" + snapshot + "}\n";
}

namespace {

// One table cell: fixed width whatever the float, "nan" for not a number.
std::string cell(double value) {
    char text[32];
    if (std::isnan(value)) return "        nan";
    if (std::fabs(value) < 1e7) {
        std::snprintf(text, sizeof text, "%11.3f", value);
    } else {
        std::snprintf(text, sizeof text, "%11.4g", value);
    }
    return text;
}

}  // namespace

std::string table_block(const CompletedRound& round, bool with_meter) {
    std::string block;
    if (with_meter) {
        block += "meter " + round.meter->name + " (line " + round.meter->line + ", slave " +
                 std::to_string(round.meter->slave) + ", data id " + std::to_string(round.meter->data_id) + ")\n";
    }
    block += local_time_text(round.saved_at) + "\n";
    const std::optional<RoundValues> record = round_values(round.record);
    if (!record) return block + "(not a record of this meter)\n";
    char voltage[48];
    const double volts = record->voltage;
    std::snprintf(voltage, sizeof voltage, std::isfinite(volts) && std::fabs(volts) < 1e7 ? "voltage %.2f V\n" : "voltage %g V\n",
                  volts);
    block += voltage;
    block += "circuit   current A     power W  energy kWh\n";
    double power = 0, energy = 0;
    for (int n = 0; n < kPondrelCircuits; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%7d ", n + 1);
        block += number + cell(record->current[n]) + " " + cell(record->power[n]) + " " +
                 cell(record->energy[n]) + "\n";
        power += record->power[n];
        energy += record->energy[n];
    }
    block += "  total             " + cell(power) + " " + cell(energy) + "\n";
    return block;
}

std::string readings_line(const CompletedRound& round) {
    const std::optional<RoundValues> record = round_values(round.record);
    if (!record) return "";
    const auto number = [](float value) { return std::isfinite(value) ? shortest(value) : std::string("null"); };
    const auto array = [&](const auto& values) {
        std::string text = "[";
        for (std::size_t n = 0; n < values.size(); ++n) text += (n == 0 ? "" : ",") + number(values[n]);
        return text + "]";
    };
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    const std::string meter = Json::writeString(writer, Json::Value(round.meter->series.empty() ? round.meter->name
                                                                                              : round.meter->series));
    return "{\"meter\":" + meter + ",\"data_id\":" + std::to_string(round.meter->data_id) + ",\"time\":\"" +
           iso_time_with_offset(round.saved_at) + "\",\"voltage_V\":" + number(record->voltage) +
           ",\"current_A\":" + array(record->current) + ",\"power_W\":" + array(record->power) +
           ",\"energy_kWh\":" + array(record->energy) + "}\n";
}

std::string influx_line(const CompletedRound& round) {
    const std::optional<RoundValues> record = round_values(round.record);
    if (!record) return "";
    std::tm local = boost::posix_time::to_tm(round.saved_at);
    local.tm_isdst = -1;
    const std::time_t instant = std::mktime(&local);
    return influx_point(round.meter->name, round.meter->data_id, *record,
                        static_cast<std::int64_t>(instant) * 1000000000LL);
}

}  // namespace pondrel
