// The site pondrel-host polls, running: its plug-in, every meter's driver,
// its lines each with a worker thread, the history, standard output, the
// Prometheus figures, the page's live readings and the MQTT publisher as the outputs of completed rounds, with the HTTP servers of /metrics and the page; the limits of --rounds, --once and
// --max-failures; SIGHUP's reload of a configuration file; retention.
// Main thread only (the workers are its own threads).
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history.h"
#include "history_output.h"
#include "json_output.h"
#include "line_worker.h"
#include "meter_device.h"
#include "meter_line.h"
#include "http_server.h"
#include "delivery_engine.h"
#include "live_readings.h"
#include "report_pages.h"
#include "mqtt_publisher.h"
#include "options.h"
#include "plugin_module.h"
#include "service_notifier.h"
#include "site_metrics.h"
#include "site_config.h"
#include "stdout_output.h"

namespace pondrel {

class Site {
public:
    Site(const HostOptions& options, SiteConfig config, JsonOutput& out);
    ~Site();
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // Loads the plug-in, makes and configures every meter's driver, opens the
    // lines and the history and restores each meter's newest record.
    void start();

    // Until a stop, the reader of standard output going away, or every meter
    // being done. Returns the exit code.
    int run();

    // Stops every line's worker; within about one response timeout.
    void stop();

    // What the meters' polling came to, and the records that could not be
    // stored. Throws a Failure for the first that did not go well.
    void finish(int code);

private:
    std::unique_ptr<MeterDevice> make_meter(const MeterConfig& meter);
    std::unique_ptr<LineWorker> make_worker(const LineConfig& line, std::unique_ptr<ModbusMaster> master);

    // The line opened, or (in a configuration's run) nullptr to be retried.
    // On the single-meter command line: the simulated meter when it names no
    // line, the word order detected when asked to, and a line that cannot be
    // opened ends the program.
    std::unique_ptr<ModbusMaster> open_site_line(const LineConfig& line,
                                                 const std::vector<std::unique_ptr<MeterDevice>>& meters);

    // Hands the meter its data id's newest stored record; whether it took it.
    bool restore(MeterDevice& meter);
    // The standard output's waiting lines written: -1 when all went, else the exit code.
    int drain();

    // Every meter is done (only with --rounds, --once or --max-failures).
    bool all_done() const;
    // Deletes each meter's rows older than keep_days, never its newest.
    void prune();
    // SIGHUP: the file read again; lines and meters that did not change go on.
    void reload();
    // Makes, restores and adds a meter to a line's worker; 1 when it started.
    int add_meter(LineWorker& worker, const MeterConfig& meter);
    // Serves the figures and the page and starts the publisher, as configured.
    void start_monitoring();
    // Each meter as the outputs name it, with its staleness from its line.
    std::vector<MeterIdentity> identities() const;
    // Tells the figures and the publisher which meters and lines there are.
    void tell_monitoring();
    // "3 of 4 meters answering; last round 16:05:03", for systemd's status.
    std::string summary();
    // Every line's worker made progress within `within`.
    bool workers_alive(std::chrono::steady_clock::duration within) const;

    const HostOptions& options_;
    SiteConfig config_;
    const bool single_;
    JsonOutput& out_;
    StdoutOutput stdout_;
    // Completed rounds of every meter, with or without a history, and when
    // each meter's newest completed.
    class RoundCounter : public RoundOutput {
    public:
        void write(const CompletedRound& round) override {
            std::lock_guard<std::mutex> lock(mutex_);
            ++rounds_;
            last_[round.meter->name] = std::chrono::steady_clock::now();
        }
        long rounds() const {
            std::lock_guard<std::mutex> lock(mutex_);
            return rounds_;
        }
        // True when `meter` completed a round and it is not stale.
        bool fresh(const MeterIdentity& meter) const {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = last_.find(meter.name);
            return found != last_.end() && !is_stale(meter, std::chrono::steady_clock::now() - found->second);
        }

    private:
        mutable std::mutex mutex_;
        long rounds_ = 0;
        std::map<std::string, std::chrono::steady_clock::time_point> last_;
    } round_counter_;
    std::unique_ptr<PluginModule> plugin_;  // outlives every meter's driver
    std::unique_ptr<History> history_;
    std::unique_ptr<HistoryOutput> history_output_;
    std::shared_ptr<SiteMetrics> metrics_;
    std::unique_ptr<MqttPublisher> publisher_;
    std::unique_ptr<DeliveryEngine> influx_;  // stored rounds to InfluxDB
    std::shared_ptr<LiveReadings> live_;
    std::shared_ptr<ReportSettings> report_settings_;
    // Go first: their scrapes read the history's and the publisher's figures.
    std::vector<std::unique_ptr<HttpServer>> servers_;
    std::shared_ptr<WebGuard> guard_;  // of the web configuration file, read again at a reload
    MeterLine meter_line_;  // the single-meter command line's line (and simulated meter)
    bool simulated_ = false;
    std::string polled_device_;
    std::vector<std::unique_ptr<LineWorker>> workers_;
    ServiceNotifier service_;
    bool stopping_ = false;
    bool pruned_ = false;  // old rows went at least once
    long rounds_seen_ = 0;
    std::string last_round_at_;  // local time of the newest round seen
};

}  // namespace pondrel
