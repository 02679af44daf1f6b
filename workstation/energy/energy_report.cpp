#include "energy_report.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

namespace pondrel {

namespace {


// The tariffs of one meter or group, by the local day each takes over.
class Prices {
public:
    Prices(const std::vector<Tariff>& tariffs, const std::string& name, const SiteZone& zone) {
        if (tariffs.empty()) return;
        const std::string& wanted = name.empty() ? tariffs.front().name : name;
        for (const Tariff& t : tariffs) {
            if (t.name != wanted) continue;
            const std::optional<std::int64_t> from = t.from.empty() ? std::nullopt : zone.local_midnight(t.from);
            const std::int64_t day = from ? zone.local(*from).day : INT64_MIN;
            in_force_.emplace_back(day, &t);
        }
        std::stable_sort(in_force_.begin(), in_force_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    bool any() const { return !in_force_.empty(); }
    // The tariff in force on local day `day`, if any.
    const Tariff* on(std::int64_t day) const {
        const Tariff* found = nullptr;
        for (const auto& [from, tariff] : in_force_) {
            if (from <= day) found = tariff;
        }
        return found;
    }

private:
    std::vector<std::pair<std::int64_t, const Tariff*>> in_force_;
};

double price_at(const Tariff& tariff, const SiteZone::Local& local) {
    for (const TariffWindow& w : tariff.windows) {
        if ((w.days & (1u << local.weekday)) == 0) continue;
        const bool inside = w.from_minute <= w.to_minute ? local.minute >= w.from_minute && local.minute < w.to_minute
                                                         : local.minute >= w.from_minute || local.minute < w.to_minute;
        if (inside) return w.price_per_kwh;
    }
    return tariff.price_per_kwh;
}

// What a meter's hour adds (a group's: its circuits summed in energy[0]).
struct Part {
    std::int64_t hour;
    std::array<double, HourStatistics::kCircuits> energy;
    std::array<double, HourStatistics::kCircuits> circuit_peak;  // W
    double peak_w;
    int peak_quarter;
    double covered_s;
};

Part part_of(const HourStatistics& h) {
    Part p{h.hour, {}, {}, 0.0, -1, static_cast<double>(h.covered_ms) / 1000.0};
    for (int n = 0; n < HourStatistics::kCircuits; ++n) {
        p.energy[static_cast<std::size_t>(n)] = h.circuits[static_cast<std::size_t>(n)].energy_used;
        p.circuit_peak[static_cast<std::size_t>(n)] = h.rounds > 0 ? h.circuit_peak_w(n) : 0;
    }
    if (h.rounds > 0) {
        p.peak_w = h.meter_peak();
        p.peak_quarter = h.meter_peak_at_quarter();
    }
    return p;
}

// A group's hours: its circuits summed hour by hour. Its demand is the sum
// of its circuits' quarter-hour peaks within the hour (exact when they peak
// in the same quarter, else an upper bound); its coverage its meters' least.
std::vector<Part> group_parts(const ReportGroup& group, const std::vector<std::vector<Part>>& meters) {
    std::map<std::int64_t, Part> by_hour;
    std::map<std::int64_t, std::map<std::size_t, double>> covered;
    for (const auto& [meter, circuit] : group.circuits) {
        for (const Part& m : meters[meter]) {
            auto [at, added] = by_hour.try_emplace(m.hour, Part{m.hour, {}, {}, 0.0, -1, 0.0});
            Part& p = at->second;
            p.energy[0] += m.energy[static_cast<std::size_t>(circuit)];
            p.peak_w += m.circuit_peak[static_cast<std::size_t>(circuit)];
            if (m.peak_quarter >= 0) p.peak_quarter = 0;
            covered[m.hour][meter] = m.covered_s;
        }
    }
    std::set<std::size_t> group_meters;
    for (const auto& entry : group.circuits) group_meters.insert(entry.first);
    std::vector<Part> parts;
    parts.reserve(by_hour.size());
    for (auto& [hour, p] : by_hour) {
        const auto& of = covered[hour];
        double least = of.size() == group_meters.size() ? 3600.0 : 0.0;
        for (const auto& entry : of) least = std::min(least, entry.second);
        p.covered_s = least;
        parts.push_back(p);
    }
    return parts;
}

// A period's row of one meter or group, summed from its hours one by one.
class PeriodSum {
public:
    PeriodSum(std::int64_t start, std::int64_t end, std::size_t width, const Prices& prices, Period period,
              const SiteZone& zone)
        : prices_(prices), period_(period), zone_(zone), cost_(width, 0.0) {
        row_.start = start;
        row_.end = end;
        row_.energy_kwh.assign(width, 0.0);
        row_.circuit_peak_kw.assign(width, 0.0);
    }

    // An hour that overlaps the period (the part within it counts).
    void add(const Part& p) {
        const std::int64_t h0 = p.hour * 3600, h1 = h0 + 3600;
        const std::int64_t lo = std::max(h0, row_.start), hi = std::min(h1, row_.end);
        if (hi <= lo) return;
        const double weight = static_cast<double>(hi - lo) / 3600.0;
        const Tariff* t = nullptr;
        double price = 0;
        if (prices_.any()) {
            const SiteZone::Local local = zone_.local(lo);
            t = prices_.on(local.day);
            if (t != nullptr) price = price_at(*t, local);
        }
        for (std::size_t n = 0; n < cost_.size(); ++n) {
            row_.energy_kwh[n] += p.energy[n] * weight;
            cost_[n] += p.energy[n] * weight * price;
            row_.circuit_peak_kw[n] = std::max(row_.circuit_peak_kw[n], p.circuit_peak[n] / 1000.0);
        }
        covered_ += p.covered_s * weight;
        if (p.peak_quarter < 0) return;
        const std::int64_t at = h0 + 900 * p.peak_quarter;
        if (at < row_.start || at >= row_.end) return;
        if (!row_.peak_at || p.peak_w / 1000.0 > row_.peak_demand_kw) {
            row_.peak_demand_kw = p.peak_w / 1000.0;
            row_.peak_at = at;
        }
        if (t != nullptr && t->demand_price_per_kw) {
            if (at < month_ || at >= month_end_) {
                month_ = zone_.period_start(Period::Month, at);
                month_end_ = zone_.next_period(Period::Month, month_);
            }
            auto& peak = month_peaks_[month_];
            if (p.peak_w > peak.first) peak = {p.peak_w, t};
        }
    }

    ReportRow finish() {
        if (prices_.any()) {
            const Tariff* t = prices_.on(zone_.local(row_.start).day);
            if (t != nullptr) row_.currency = t->currency;
            double total = 0;
            for (double c : cost_) total += c;
            // A month's demand is priced in a report of months or years.
            if (period_ == Period::Month || period_ == Period::Year) {
                for (const auto& [first, peak] : month_peaks_) {
                    total += peak.first / 1000.0 * *peak.second->demand_price_per_kw;
                }
            }
            row_.cost = total;
            for (double c : cost_) row_.circuit_cost.emplace_back(c);
        } else {
            row_.circuit_cost.assign(cost_.size(), std::nullopt);
        }
        row_.coverage = std::min(1.0, covered_ / static_cast<double>(row_.end - row_.start));
        return std::move(row_);
    }

private:
    const Prices& prices_;
    Period period_;
    const SiteZone& zone_;
    ReportRow row_;
    std::vector<double> cost_;
    double covered_ = 0;
    // Each month's peak, for a demand price; the month of the hour last seen.
    std::map<std::int64_t, std::pair<double, const Tariff*>> month_peaks_;
    std::int64_t month_ = 0, month_end_ = INT64_MIN;
};

// The rows of one meter or group over `starts` (periods back to back, the
// last ending at `end`), fed its hours in order.
class Rows {
public:
    Rows(const std::vector<std::int64_t>& starts, std::int64_t end, std::size_t width, Prices prices, Period period,
         const SiteZone& zone)
        : starts_(starts), end_(end), width_(width), prices_(std::move(prices)), period_(period), zone_(zone) {}

    void add(const Part& p) {
        const std::int64_t h0 = p.hour * 3600, h1 = h0 + 3600;
        while (next_ < starts_.size() && h0 >= period_end(next_)) close();
        // An hour may reach into the periods after (a zone's half-hour offset).
        for (std::size_t at = next_; at < starts_.size() && starts_[at] < h1; ++at) {
            if (at != next_) close();
            open().add(p);
        }
    }
    std::vector<ReportRow> finish() {
        while (next_ < starts_.size()) close();
        return std::move(rows_);
    }

private:
    std::int64_t period_end(std::size_t at) const { return at + 1 < starts_.size() ? starts_[at + 1] : end_; }
    PeriodSum& open() {
        if (!sum_) sum_.emplace(starts_[next_], period_end(next_), width_, prices_, period_, zone_);
        return *sum_;
    }
    void close() {
        rows_.push_back(open().finish());
        sum_.reset();
        ++next_;
    }
    const std::vector<std::int64_t>& starts_;
    std::int64_t end_;
    std::size_t width_;
    Prices prices_;
    Period period_;
    const SiteZone& zone_;
    std::size_t next_ = 0;
    std::optional<PeriodSum> sum_;
    std::vector<ReportRow> rows_;
};

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
    std::size_t entities = 0;
    for (std::size_t i = 0; i < setup.meters.size(); ++i) entities += meter_shown[i] ? 1 : 0;
    for (std::size_t i = 0; i < setup.groups.size(); ++i) entities += group_shown[i] ? 1 : 0;
    const std::size_t most_periods = kMaxReportRows / std::max<std::size_t>(entities, 1);
    const std::int64_t first = zone.period_start(ask.period, ask.since);
    std::vector<std::int64_t> starts;
    for (std::int64_t at = first; at < ask.until; at = zone.next_period(ask.period, at)) {
        if (starts.size() == most_periods) {
            throw std::length_error("the range holds more than " + std::to_string(most_periods) + " " +
                                    period_name(ask.period) + "s of " + std::to_string(entities) +
                                    " meters and groups; ask for a longer period or a shorter range");
        }
        starts.push_back(at);
    }
    if (starts.empty()) return {};
    const std::int64_t end = zone.next_period(ask.period, starts.back());

    // Each meter's rows as its hours are read; the hours kept only for groups.
    std::vector<std::vector<ReportRow>> by_entity;
    std::vector<std::vector<Part>> kept(setup.meters.size());
    for (std::size_t i = 0; i < setup.meters.size(); ++i) {
        if (!meter_shown[i] && !meter_read[i]) continue;
        std::optional<Rows> rows;
        if (meter_shown[i]) {
            rows.emplace(starts, end, HourStatistics::kCircuits, Prices(setup.tariffs, setup.meters[i].tariff, zone),
                         ask.period, zone);
        }
        history.for_each_hour(setup.meters[i].data_id, setup.meters[i].series, hour_of(first), hour_of(end - 1) + 1,
                              [&](const HourStatistics& h) {
                                  const Part part = part_of(h);
                                  if (rows) rows->add(part);
                                  if (meter_read[i]) kept[i].push_back(part);
                              });
        if (!rows) continue;
        by_entity.push_back(rows->finish());
        for (ReportRow& row : by_entity.back()) {
            row.name = setup.meters[i].name;
            row.circuit_names = setup.meters[i].circuit_names;
        }
    }
    for (std::size_t i = 0; i < setup.groups.size(); ++i) {
        if (!group_shown[i]) continue;
        Rows rows(starts, end, 1, Prices(setup.tariffs, setup.groups[i].tariff, zone), ask.period, zone);
        for (const Part& part : group_parts(setup.groups[i], kept)) rows.add(part);
        by_entity.push_back(rows.finish());
        for (ReportRow& row : by_entity.back()) {
            row.group = true;
            row.name = setup.groups[i].name;
        }
    }
    std::vector<ReportRow> rows;
    rows.reserve(starts.size() * by_entity.size());
    for (std::size_t p = 0; p < starts.size(); ++p) {
        for (std::vector<ReportRow>& entity : by_entity) rows.push_back(std::move(entity[p]));
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
