#include "report_setup.h"

#include <map>

namespace pondrel {

ReportSetup report_setup_of(const SiteConfig& config) {
    ReportSetup setup;
    std::map<std::string, std::size_t> index;
    for (const MeterConfig& meter : config.meters) {
        index[meter.name] = setup.meters.size();
        setup.meters.push_back({meter.name, meter.data_id, meter.series.empty() ? meter.name : meter.series,
                                circuit_names_of(meter), meter.tariff});
    }
    for (const GroupConfig& group : config.groups) {
        ReportGroup g{group.name, {}, group.tariff};
        for (const auto& [meter, circuit] : group.circuits) {
            const auto found = index.find(meter);
            if (found != index.end()) g.circuits.emplace_back(found->second, circuit - 1);
        }
        setup.groups.push_back(std::move(g));
    }
    for (const TariffConfig& tariff : config.tariffs) {
        Tariff t{tariff.name, tariff.currency, tariff.price_per_kwh, tariff.from, {}, tariff.demand_price_per_kw};
        for (const TariffConfig::Window& w : tariff.windows) {
            t.windows.push_back({w.day_mask, w.from_minute, w.to_minute, w.price_per_kwh});
        }
        setup.tariffs.push_back(std::move(t));
    }
    return setup;
}

}  // namespace pondrel
