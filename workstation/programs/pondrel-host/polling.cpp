#include "modes.h"

#include "program_main.h"
#include "site_run.h"
#include "site_setup.h"
#include "stop_signal.h"
#include "web_config.h"
#include "web_guard.h"

namespace pondrel {

int poll_meters(const HostOptions& options, JsonOutput& output) {
    SiteConfig config = options.config.empty() ? site_from_options(options) : site_from_file(options);
    if (config.log_level) set_log_level(*parse_log_level(*config.log_level));
    if (options.no_history) config.history_file.reset();
    output.show_console_lines(log_level() >= Severity::Debug);
    if (options.check) {
        // The web configuration file is read as the run reads it.
        if (config.web && !config.web->web_config_file.empty()) {
            try {
                WebGuard guard(read_web_config(config.web->web_config_file));
            } catch (const std::exception& e) {
                throw Failure(kExitBadOption, e.what());
            }
        }
        output.write(site_config_toml(config));
        return kExitOk;
    }
    if (!options.config.empty()) {
        if (config.meters.empty()) throw Failure(kExitBadOption, options.config + " defines no [[meter]]");
        install_reload_signal();
    }
    Site site(options, std::move(config), output);
    site.start();
    const int code = site.run();
    site.finish(code);
    return kExitOk;
}

}  // namespace pondrel
