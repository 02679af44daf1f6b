// pondrel-host: runs a meter plug-in against a real meter on a serial line, a
// gateway or the built-in simulated meter, printing the driver's JSON
// snapshot after every completed round and keeping every record in an SQLite
// history. Standard output carries only those lines; everything else, the
// plug-in's console lines included, goes to standard error.
#include <optional>

#include "json_output.h"
#include "modes.h"
#include "options.h"
#include "program_main.h"
#include "stop_signal.h"

int main(int argc, char** argv) {
    using namespace pondrel;
    // Before anything slow: a stop during start-up ends it cleanly.
    install_stop_signals();
    return guarded_main("pondrel-host", [&] {
        std::optional<HostOptions> options;
        try {
            options = parse_options(argc, argv);
        } catch (const UsageError& e) {
            throw Failure(kExitBadOption, e.what());
        }
        if (!options) return static_cast<int>(kExitOk);
        if (options->log_level) set_log_level(*parse_log_level(*options->log_level));
        JsonOutput output;
        return options->scan ? scan_line(*options, output) : poll_meters(*options, output);
    });
}
