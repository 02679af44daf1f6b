#include "energy_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace pondrel {

namespace {

using Hours = std::vector<HourStatistics>;

// The tariff in force for `name` ("" : the first named) at `unix_s`.
const Tariff* tariff_at(const std::vector<Tariff>& tariffs, const std::string& name, std::int64_t unix_s,
                        const SiteZone& zone) {
    if (tariffs.empty()) return nullptr;
    const std::string& wanted = name.empty() ? tariffs.front().name : name;
    const std::string day = zone.local_date(unix_s);
    const Tariff* found = nullptr;
    for (const Tariff& t : tariffs) {
        if (t.name != wanted || (!t.from.empty() && t.from > day)) continue;
        if (found == nullptr || t.from >= found->from) found = &t;
    }
    return found;
}

double price_at(const Tariff& tariff, std::int64_t unix_s, const SiteZone& zone) {
    const int weekday = zone.local_weekday(unix_s);
    const int minute = zone.local_minute_of_day(unix_s);
    for (const TariffWindow& w : tariff.windows) {
        if ((w.days & (1u << weekday)) == 0) continue;
        const bool inside = w.from_minute <= w.to_minute ? minute >= w.from_minute && minute < w.to_minute
                                                         : minute >= w.from_minute || minute < w.to_minute;
        if (inside) return w.price_per_kwh;
    }
    return tariff.price_per_kwh;
}

// What a meter's or a group's hour adds: its circuits' energy, and its demand.
struct Part {
    std::int64_t hour;
    std::vector<double> energy;       // per circuit of the meter or group
    std::vector<double> circuit_peak;  // W
    double peak_w = 0;
    int peak_quarter = -1;
    double covered_s = 0;
};

// The hours of a meter's series as parts.
std::vector<Part> meter_parts(const Hours& hours) {
    std::vector<Part> parts;
    parts.reserve(hours.size());
    for (const HourStatistics& h : hours) {
        Part p{h.hour, std::vector<double>(HourStatistics::kCircuits), std::vector<double>(HourStatistics::kCircuits)};
        for (int n = 0; n < HourStatistics::kCircuits; ++n) {
            p.energy[static_cast<std::size_t>(n)] = h.circuits[static_cast<std::size_t>(n)].energy_used;
            p.circuit_peak[static_cast<std::size_t>(n)] = h.rounds > 0 ? h.circuit_peak_w(n) : 0;
        }
        p.peak_w = h.rounds > 0 ? h.meter_peak() : 0;
        p.peak_quarter = h.rounds > 0 ? h.meter_peak_at_quarter() : -1;
        p.covered_s = static_cast<double>(h.covered_ms) / 1000.0;
        parts.push_back(std::move(p));
    }
    return parts;
}

// A group's hours: its circuits summed hour by hour. Its demand is the sum
// of its circuits' quarter-hour peaks within the hour (exact when they peak
// in the same quarter, else an upper bound); its coverage its meters' least.
std::vector<Part> group_parts(const ReportGroup& group, const std::vector<Hours>& meters) {
    std::map<std::int64_t, Part> by_hour;
    std::map<std::int64_t, std::map<std::size_t, double>> covered;
    for (const auto& [meter, circuit] : group.circuits) {
        for (const HourStatistics& h : meters[meter]) {
            Part& p = by_hour[h.hour];
            p.hour = h.hour;
            p.energy.resize(1);
            p.energy[0] += h.circuits[static_cast<std::size_t>(circuit)].energy_used;
            if (h.rounds > 0) p.peak_w += h.circuit_peak_w(circuit);
            covered[h.hour][meter] = static_cast<double>(h.covered_ms) / 1000.0;
        }
    }
    std::set<std::size_t> group_meters;
    for (const auto& entry : group.circuits) group_meters.insert(entry.first);
    std::vector<Part> parts;
    for (auto& [hour, p] : by_hour) {
        const auto& of = covered[hour];
        double least = of.size() == group_meters.size() ? 3600.0 : 0.0;
        for (const auto& entry : of) least = std::min(least, entry.second);
        p.covered_s = least;
        parts.push_back(std::move(p));
    }
    return parts;
}

// The report row of one period [start, end) from `parts` (in hour order,
// from index `from`, advanced past the hours before `start`).
ReportRow row_of(const std::vector<Part>& parts, std::size_t& from, std::int64_t start, std::int64_t end,
                 std::size_t width, const std::vector<Tariff>& tariffs, const std::string& tariff, Period period,
                 const SiteZone& zone) {
    ReportRow row;
    row.start = start;
    row.end = end;
    row.energy_kwh.assign(width, 0.0);
    row.circuit_peak_kw.assign(width, 0.0);
    std::vector<double> cost(width, 0.0);
    bool priced = !tariffs.empty();
    double covered = 0;
    // Each month's peak, for a demand price.
    std::map<std::int64_t, std::pair<double, const Tariff*>> month_peaks;
    while (from < parts.size() && (parts[from].hour + 1) * 3600 <= start) ++from;
    for (std::size_t i = from; i < parts.size() && parts[i].hour * 3600 < end; ++i) {
        const Part& p = parts[i];
        const std::int64_t h0 = p.hour * 3600, h1 = h0 + 3600;
        const std::int64_t lo = std::max(h0, start), hi = std::min(h1, end);
        if (hi <= lo) continue;
        const double weight = static_cast<double>(hi - lo) / 3600.0;
        const Tariff* t = priced ? tariff_at(tariffs, tariff, lo, zone) : nullptr;
        const double price = t != nullptr ? price_at(*t, lo, zone) : 0.0;
        for (std::size_t n = 0; n < width && n < p.energy.size(); ++n) {
            row.energy_kwh[n] += p.energy[n] * weight;
            cost[n] += p.energy[n] * weight * price;
            if (n < p.circuit_peak.size()) row.circuit_peak_kw[n] = std::max(row.circuit_peak_kw[n], p.circuit_peak[n] / 1000.0);
        }
        covered += p.covered_s * weight;
        if (p.peak_quarter >= 0 || p.peak_w > 0) {
            const std::int64_t at = h0 + 900 * std::max(p.peak_quarter, 0);
            if (at >= start && at < end && (!row.peak_at || p.peak_w / 1000.0 > row.peak_demand_kw)) {
                row.peak_demand_kw = p.peak_w / 1000.0;
                row.peak_at = at;
            }
            if (t != nullptr && t->demand_price_per_kw && at >= start && at < end) {
                auto& month = month_peaks[zone.period_start(Period::Month, at)];
                if (p.peak_w > month.first) month = {p.peak_w, t};
            }
        }
    }
    if (priced) {
        const Tariff* t = tariff_at(tariffs, tariff, start, zone);
        if (t != nullptr) row.currency = t->currency;
        double total = 0;
        for (double c : cost) total += c;
        // A month's demand is priced in a report of months or years.
        if (period == Period::Month || period == Period::Year) {
            for (const auto& [month, peak] : month_peaks) total += peak.first / 1000.0 * *peak.second->demand_price_per_kw;
        }
        row.cost = total;
        for (double c : cost) row.circuit_cost.emplace_back(c);
    } else {
        row.circuit_cost.assign(width, std::nullopt);
    }
    row.coverage = std::min(1.0, covered / static_cast<double>(end - start));
    return row;
}

// A figure as JSON or CSV takes it: to a millionth, without an exponent
// (a spreadsheet reads it as it is), trailing zeros left out.
std::string number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
    return out == "-0" ? "0" : out;
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string csv_text(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    std::string out = quoted + "\"";
    // A leading = + - @ would be a formula to a spreadsheet.
    if (!text.empty() && std::string("=+-@").find(text[0]) != std::string::npos) out = "\"'" + out.substr(1);
    return out;
}

}  // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> statistics_span(History& history, const ReportSetup& setup) {
    std::optional<std::pair<std::int64_t, std::int64_t>> span;
    for (const ReportMeter& m : setup.meters) {
        if (const auto s = history.hour_span(m.data_id, m.series)) {
            span = span ? std::make_pair(std::min(span->first, s->first), std::max(span->second, s->second)) : *s;
        }
    }
    return span;
}

std::vector<ReportRow> make_report(History& history, const ReportSetup& setup, const SiteZone& zone,
                                   const ReportAsk& ask) {
    const bool all = ask.meters.empty() && ask.groups.empty();
    std::vector<bool> meter_shown(setup.meters.size(), all), meter_read(setup.meters.size(), false);
    std::vector<bool> group_shown(setup.groups.size(), all);
    for (std::size_t i = 0; i < setup.meters.size(); ++i) {
        if (std::find(ask.meters.begin(), ask.meters.end(), setup.meters[i].name) != ask.meters.end()) meter_shown[i] = true;
    }
    for (std::size_t i = 0; i < setup.groups.size(); ++i) {
        if (std::find(ask.groups.begin(), ask.groups.end(), setup.groups[i].name) != ask.groups.end()) group_shown[i] = true;
        if (group_shown[i]) {
            for (const auto& entry : setup.groups[i].circuits) meter_read[entry.first] = true;
        }
    }
    const std::int64_t first = zone.period_start(ask.period, ask.since);
    std::vector<std::int64_t> starts;
    for (std::int64_t at = first; at < ask.until; at = zone.next_period(ask.period, at)) starts.push_back(at);
    if (starts.empty()) return {};
    const std::int64_t end = zone.next_period(ask.period, starts.back());

    std::vector<Hours> hours(setup.meters.size());
    for (std::size_t i = 0; i < setup.meters.size(); ++i) {
        if (!meter_shown[i] && !meter_read[i]) continue;
        history.for_each_hour(setup.meters[i].data_id, setup.meters[i].series, hour_of(first), hour_of(end - 1) + 1,
                              [&](const HourStatistics& h) { hours[i].push_back(h); });
    }
    struct Entity {
        bool group;
        std::string name;
        std::vector<Part> parts;
        std::size_t width;
        std::string tariff;
        std::vector<std::string> circuit_names;
        std::size_t next = 0;
    };
    std::vector<Entity> entities;
    for (std::size_t i = 0; i < setup.meters.size(); ++i) {
        if (!meter_shown[i]) continue;
        entities.push_back({false, setup.meters[i].name, meter_parts(hours[i]), HourStatistics::kCircuits,
                            setup.meters[i].tariff, setup.meters[i].circuit_names});
    }
    for (std::size_t i = 0; i < setup.groups.size(); ++i) {
        if (!group_shown[i]) continue;
        entities.push_back({true, setup.groups[i].name, group_parts(setup.groups[i], hours), 1, setup.groups[i].tariff, {}});
    }
    std::vector<ReportRow> rows;
    for (std::size_t p = 0; p < starts.size(); ++p) {
        const std::int64_t stop = p + 1 < starts.size() ? starts[p + 1] : end;
        for (Entity& e : entities) {
            ReportRow row = row_of(e.parts, e.next, starts[p], stop, e.width, setup.tariffs, e.tariff, ask.period, zone);
            row.group = e.group;
            row.name = e.name;
            row.circuit_names = e.circuit_names;
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::string report_json(const std::vector<ReportRow>& rows, const SiteZone& zone) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ReportRow& r = rows[i];
        out += i == 0 ? "\n" : ",\n";
        out += "{\"period_start\":" + json_text(zone.iso(r.start)) + ",\"period_end\":" + json_text(zone.iso(r.end));
        out += std::string(r.group ? ",\"group\":" : ",\"meter\":") + json_text(r.name);
        out += ",\"energy_kWh\":";
        if (r.group) {
            out += number(r.energy_kwh.at(0));
        } else {
            out += "[";
            for (std::size_t n = 0; n < r.energy_kwh.size(); ++n) out += (n ? "," : "") + number(r.energy_kwh[n]);
            out += "],\"circuit_names\":[";
            for (std::size_t n = 0; n < r.circuit_names.size(); ++n) out += (n ? "," : "") + json_text(r.circuit_names[n]);
            out += "]";
        }
        out += ",\"cost\":" + (r.cost ? number(*r.cost) : std::string("null"));
        out += ",\"currency\":" + (r.cost && !r.currency.empty() ? json_text(r.currency) : std::string("null"));
        out += ",\"peak_demand_kW\":" + number(r.peak_demand_kw);
        out += ",\"peak_at\":" + (r.peak_at ? json_text(zone.iso(*r.peak_at)) : std::string("null"));
        out += ",\"coverage\":" + number(r.coverage) + "}";
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string report_csv(const std::vector<ReportRow>& rows, const SiteZone& zone) {
    std::string out =
        "start_date,start_time,end_date,end_time,utc_offset,kind,name,circuit,circuit_name,energy_kWh,cost,currency,"
        "peak_demand_kW,peak_date,peak_time,coverage\r\n";
    for (const ReportRow& r : rows) {
        const std::string head = zone.local_date(r.start) + "," + zone.local_clock(r.start) + "," +
                                 zone.local_date(r.end) + "," + zone.local_clock(r.end) + "," +
                                 zone.iso(r.start).substr(19) + "," + (r.group ? "group," : "meter,") + csv_text(r.name);
        const std::string currency = r.cost ? csv_text(r.currency) : "";
        if (r.group) {
            out += head + ",,," + number(r.energy_kwh[0]) + "," + (r.cost ? number(*r.cost) : "") + "," + currency + "," +
                   number(r.peak_demand_kw) + "," + (r.peak_at ? zone.local_date(*r.peak_at) : "") + "," +
                   (r.peak_at ? zone.local_clock(*r.peak_at) : "") + "," + number(r.coverage) + "\r\n";
            continue;
        }
        for (std::size_t n = 0; n < r.energy_kwh.size(); ++n) {
            const bool priced = n < r.circuit_cost.size() && r.circuit_cost[n].has_value();
            const std::string cost = priced ? number(r.circuit_cost[n].value_or(0)) : "";
            out += head + "," + std::to_string(n + 1) + "," + csv_text(n < r.circuit_names.size() ? r.circuit_names[n] : "") +
                   "," + number(r.energy_kwh[n]) + "," + cost + "," + currency + "," +
                   number(r.circuit_peak_kw[n]) + ",,," + number(r.coverage) + "\r\n";
        }
    }
    return out;
}

std::string report_table(const std::vector<ReportRow>& rows, const SiteZone& zone) {
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-16s  %-24s  %12s  %12s  %9s  %-16s  %8s\n", "period", "meter or group",
                  "energy kWh", "cost", "peak kW", "peak at", "coverage");
    out += line;
    for (const ReportRow& r : rows) {
        double total = 0;
        for (double e : r.energy_kwh) total += e;
        const std::string cost = r.cost ? number(std::round(*r.cost * 100) / 100) + " " + r.currency : "-";
        const std::string name = (r.group ? "group " : "") + r.name;
        std::snprintf(line, sizeof line, "%-16s  %-24s  %12.3f  %12s  %9.3f  %-16s  %7.1f%%\n",
                      (zone.local_date(r.start) + " " + zone.local_clock(r.start)).c_str(), name.c_str(), total,
                      cost.c_str(), r.peak_demand_kw,
                      r.peak_at ? (zone.local_date(*r.peak_at) + " " + zone.local_clock(*r.peak_at)).c_str() : "-",
                      r.coverage * 100);
        out += line;
    }
    return out;
}

}  // namespace pondrel
