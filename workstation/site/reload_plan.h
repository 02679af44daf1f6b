// What a reload of the site file changes, worked out before anything is
// touched: the lines that stop (gone, or their settings changed; their
// meters with them), the lines that start (new, changed, or not running),
// and on each line that goes on, the meters that stop (gone or changed) and
// start (new or changed). A meter whose configuration is the same is kept,
// polling on undisturbed; a circuit rename is not a change (see MeterConfig).
// Pure; any thread.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "site_config.h"

namespace pondrel {

struct ReloadPlan {
    std::vector<std::string> lines_stopped;  // in running order
    std::vector<std::string> lines_started;  // in the new file's order, each with all its meters
    // Of lines that go on: the meters each stops and starts, by name.
    std::map<std::string, std::vector<std::string>> meters_stopped;
    std::map<std::string, std::vector<std::string>> meters_started;
};

// `running`: the configuration in force; `running_lines`: the lines whose
// workers run (a line that could not be opened is not among them, and is
// started again); `next`: the file as read now.
ReloadPlan plan_reload(const SiteConfig& running, const std::vector<std::string>& running_lines,
                       const SiteConfig& next);

}  // namespace pondrel
