// What a report knows of a site: its meters with their circuits' names,
// its groups and tariffs, from the site's file. Pure; any thread.
#pragma once

#include "energy_report.h"
#include "site_config.h"

namespace pondrel {

ReportSetup report_setup_of(const SiteConfig& config);

}  // namespace pondrel
