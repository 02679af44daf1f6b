// The site pondrel-host polls: read from a configuration file, or made of the
// command line's one line and one meter, and the options that override the
// file. Main thread only.
#pragma once

#include "options.h"
#include "site_config.h"

namespace pondrel {

// The configuration of --config, with --plugin and --history in place of the
// file's and the defaults of both filled in. Prints each error of the file as
// "FILE:LINE: message" on standard error and throws a Failure (kExitBadOption).
SiteConfig site_from_file(const HostOptions& options);
// The command line's meter as a site of one line and one meter (the line
// "line", the meter "meter", retrying at its own interval). Throws a Failure
// (kExitBadSetting) for a setting file that cannot be used.
SiteConfig site_from_options(const HostOptions& options);

}  // namespace pondrel
