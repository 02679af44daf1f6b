// Energy per calendar period from the history's hourly statistics: per
// meter (each circuit) and per group of circuits, with costs by tariff,
// the highest quarter-hour demand and how much of the period had rounds.
// An hour split by a period's bounds (a zone whose offset is not whole
// hours) counts in proportion to the time on each side.
// Reads the history it is given; one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site_calendar.h"
#include "history.h"

namespace pondrel {

struct TariffWindow {
    unsigned days = 0x7f;  // bit 0 Monday ... bit 6 Sunday
    int from_minute = 0;   // local minutes of the day; to < from runs over midnight
    int to_minute = 1440;
    double price_per_kwh = 0;
};

struct Tariff {
    std::string name;
    std::string currency;
    double price_per_kwh = 0;
    std::string from;  // "YYYY-MM-DD": in force from that local day ("" : always)
    std::vector<TariffWindow> windows;
    std::optional<double> demand_price_per_kw;  // on a month's highest quarter-hour demand
};

struct ReportMeter {
    std::string name;
    std::int64_t data_id = 0;
    std::string series;  // what its history rows name it by
    std::vector<std::string> circuit_names;  // 18
    std::string tariff;  // "": the first tariff, if any
};

struct ReportGroup {
    std::string name;
    std::vector<std::pair<std::size_t, int>> circuits;  // a meter's index in ReportSetup::meters, circuit 0-17
    std::string tariff;
};

struct ReportSetup {
    std::vector<ReportMeter> meters;
    std::vector<ReportGroup> groups;
    std::vector<Tariff> tariffs;  // in the file's order
};

struct ReportRow {
    std::int64_t start = 0;  // the period, UTC seconds
    std::int64_t end = 0;
    bool group = false;
    std::string name;
    std::vector<double> energy_kwh;            // 18 for a meter, 1 for a group
    std::vector<double> circuit_peak_kw;       // a meter's circuits' own peaks
    std::vector<std::optional<double>> circuit_cost;
    std::vector<std::string> circuit_names;    // a meter's
    std::optional<double> cost;
    std::string currency;
    double peak_demand_kw = 0;
    std::optional<std::int64_t> peak_at;
    double coverage = 0;  // 0 to 1
};

struct ReportAsk {
    Period period = Period::Day;
    std::int64_t since = 0;  // the periods holding since ... until (exclusive)
    std::int64_t until = 0;
    std::vector<std::string> meters;  // by name; with `groups` both empty: every meter and group
    std::vector<std::string> groups;
};

// The last instant a report runs to: 9999-12-31T23:59:59Z.
constexpr std::int64_t kLastReportInstant = 253402300799;

// The most rows a report holds (periods times meters and groups).
constexpr std::size_t kMaxReportRows = 1000000;

// The rows of `ask`, period by period, meters then groups in the setup's order.
// Throws std::length_error, reading nothing, when they would be more than kMaxReportRows.
std::vector<ReportRow> make_report(History& history, const ReportSetup& setup, const SiteZone& zone,
                                   const ReportAsk& ask);

// The first and last hour (UTC hours) the history has statistics of for
// `setup`'s meters, if any.
std::optional<std::pair<std::int64_t, std::int64_t>> statistics_span(History& history, const ReportSetup& setup);

// A report as JSON (one array), CSV (a row per period and circuit or group)
// or a table for a terminal.
std::string report_json(const std::vector<ReportRow>& rows, const SiteZone& zone);
std::string report_csv(const std::vector<ReportRow>& rows, const SiteZone& zone);
std::string report_table(const std::vector<ReportRow>& rows, const SiteZone& zone);

}  // namespace pondrel
