#include "reload_plan.h"

#include <algorithm>

namespace pondrel {

namespace {

std::map<std::string, MeterConfig> meters_of(const SiteConfig& config, const std::string& line) {
    std::map<std::string, MeterConfig> found;
    for (const MeterConfig& meter : config.meters) {
        if (meter.line == line) found.emplace(meter.name, meter);
    }
    return found;
}

}  // namespace

ReloadPlan plan_reload(const SiteConfig& running, const std::vector<std::string>& running_lines,
                       const SiteConfig& next) {
    ReloadPlan plan;
    std::set<std::string> going_on;
    for (const std::string& name : running_lines) {
        const LineConfig* now = next.line(name);
        const LineConfig* was = running.line(name);
        if (now == nullptr || was == nullptr || !(*now == *was)) {
            plan.lines_stopped.push_back(name);
        } else {
            going_on.insert(name);
        }
    }
    for (const LineConfig& line : next.lines) {
        if (going_on.count(line.name) == 0) {
            plan.lines_started.push_back(line.name);
            continue;
        }
        const auto had = meters_of(running, line.name);
        const auto wanted = meters_of(next, line.name);
        for (const auto& [name, meter] : had) {
            const auto now = wanted.find(name);
            if (now == wanted.end() || !(now->second == meter)) plan.meters_stopped[line.name].push_back(name);
        }
        for (const auto& [name, meter] : wanted) {
            const auto before = had.find(name);
            if (before == had.end() || !(before->second == meter)) plan.meters_started[line.name].push_back(name);
        }
    }
    return plan;
}

}  // namespace pondrel
