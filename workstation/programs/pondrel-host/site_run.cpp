#include "site_run.h"

#include "report_setup.h"
#include "influx_destination.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "commissioning.h"
#include "metrics_page.h"
#include "site_pages.h"
#include "program_main.h"
#include "reload_plan.h"
#include "status_line.h"
#include "web_config.h"
#include "web_guard.h"
#include "stop_signal.h"

namespace pondrel {

using Clock = std::chrono::steady_clock;

Site::Site(const HostOptions& options, SiteConfig config, JsonOutput& out)
    : options_(options), config_(std::move(config)), single_(options.config.empty()), out_(out),
      stdout_(out, options.format, !single_) {}

Site::~Site() { stop(); }

void Site::start() {
    try {
        plugin_ = std::make_unique<PluginModule>(*config_.plugin);
    } catch (const std::exception& e) {
        throw Failure(kExitBadPlugin, e.what());
    }
    std::map<std::string, std::vector<std::unique_ptr<MeterDevice>>> meters;
    for (const MeterConfig& meter : config_.meters) meters[meter.line].push_back(make_meter(meter));
    std::map<std::string, std::unique_ptr<ModbusMaster>> masters;
    for (const LineConfig& line : config_.lines) masters[line.name] = open_site_line(line, meters[line.name]);
    if (config_.history_file) {
        try {
            // Another writer may hold the history a while; a stop ends the wait.
            const std::string& file = *config_.history_file;
            history_ = std::make_unique<History>(
                file, History::Access::ReadWrite, [] { return stop_requested().load(); }, [&file] {
                    status_line("history " + file + " is held by another writer; waiting up to " +
                                    std::to_string(History::kStartBusyMs / 1000) + " s for it",
                                Severity::Warning);
                });
        } catch (const std::exception& e) {
            if (stop_requested()) {
                throw Failure(options_.once ? kExitInterrupted : kExitOk,
                              "stopped while waiting for history " + *config_.history_file);
            }
            throw Failure(kExitBadHistory, e.what());
        }
        history_output_ = std::make_unique<HistoryOutput>(*history_, status_report,
                                                          config_.journal_reserve_mb * 1024 * 1024);
    }
    start_monitoring();
    std::vector<std::pair<std::unique_ptr<MeterDevice>, bool>> restored;
    for (const LineConfig& line : config_.lines) {
        auto worker = make_worker(line, std::move(masters[line.name]));
        for (auto& meter : meters[line.name]) {
            const bool was_restored = history_output_ && restore(*meter);
            worker->add(std::move(meter), was_restored);
        }
        workers_.push_back(std::move(worker));
    }
    const std::string history = config_.history_file ? "history " + *config_.history_file : "no history";
    if (single_) {
        status_line("loaded plug-in " + *config_.plugin + "; polling " + (simulated_ ? "the simulated meter on " : "") +
                    polled_device_ + "; " + history);
    } else {
        status_line("loaded plug-in " + *config_.plugin + "; polling " + std::to_string(config_.meters.size()) +
                    " meters on " + std::to_string(config_.lines.size()) + " lines; " + history);
    }
    tell_monitoring();
    if (publisher_) publisher_->start();
    if (influx_) influx_->start();
    for (auto& worker : workers_) worker->start();
}

namespace {

// A secret others than its owner can read is said once at the start, with
// its mode; it is used all the same.
void warn_if_others_can_read(const std::string& path, const std::string& what) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    status_line(what + " " + path + " can be read by others than its owner (mode " + mode + "); chmod 600 it",
                Severity::Warning);
}

}  // namespace

void Site::start_monitoring() {
    // The publisher first: the figures' server reads what waits for it.
    if (config_.mqtt && !config_.history_file) {
        status_line("not publishing to " + config_.mqtt->broker + ": the broker is sent what the history stores, "
                    "and there is no history");
    } else if (config_.mqtt) {
        if (config_.mqtt->password_file) warn_if_others_can_read(*config_.mqtt->password_file, "the MQTT password file");
        std::unique_ptr<Outbox> outbox;
        try {
            outbox = std::make_unique<Outbox>(*config_.history_file, config_.mqtt->broker);
        } catch (const std::exception& e) {
            throw Failure(kExitBadHistory, e.what());
        }
        try {
            publisher_ = std::make_unique<MqttPublisher>(*config_.mqtt, std::move(outbox), status_report);
        } catch (const std::exception& e) {
            throw Failure(kExitBadOption, e.what());
        }
    }
    if (config_.influxdb && !config_.history_file) {
        status_line("not writing to InfluxDB " + config_.influxdb->url +
                    ": it is sent what the history stores, and there is no history");
    } else if (config_.influxdb) {
        for (const auto& secret : {std::make_pair(config_.influxdb->password_file, "the InfluxDB password file"),
                                   std::make_pair(config_.influxdb->token_file, "the InfluxDB token file")}) {
            if (secret.first) warn_if_others_can_read(*secret.first, secret.second);
        }
        try {
            auto destination = std::make_unique<InfluxDestination>(*config_.influxdb);
            auto outbox = std::make_unique<Outbox>(*config_.history_file, destination->name());
            influx_ = std::make_unique<DeliveryEngine>(std::move(destination), std::move(outbox), status_report,
                                                       config_.influxdb->max_pending, DeliveryEngine::Timing{});
        } catch (const std::exception& e) {
            throw Failure(kExitBadHistory, e.what());
        }
    }
    if (config_.prometheus) {
        metrics_ = std::make_shared<SiteMetrics>(status_report);
        if (influx_) {
            metrics_->add_waiting("pondrel_influxdb_pending_rounds", "Stored rounds InfluxDB has not taken",
                                  [this] { return static_cast<double>(influx_->waiting()); });
        }
        std::function<double()> broker_waiting;
        if (publisher_) broker_waiting = [this] { return static_cast<double>(publisher_->waiting()); };
        metrics_->set_waiting(
            [this] { return history_output_ ? static_cast<double>(history_output_->waiting()) : 0.0; },
            broker_waiting);
    }
    if (config_.web) {
        live_ = std::make_shared<LiveReadings>();
        report_settings_ = std::make_shared<ReportSettings>();
    }
    // /metrics and the page share a server when they share an address.
    const bool shared = config_.prometheus && config_.web && config_.prometheus->listen == config_.web->listen;
    // The web configuration file guards every address served.
    std::shared_ptr<WebGuard> guard;
    if (config_.web && !config_.web->web_config_file.empty()) {
        try {
            const WebSecurity security = read_web_config(config_.web->web_config_file);
            if (security.tls) warn_if_others_can_read(security.tls->key_file, "the TLS key file");
            guard = std::make_shared<WebGuard>(security);
        } catch (const std::exception& e) {
            throw Failure(kExitBadOption, e.what());
        }
        guard_ = guard;
    }
    const std::string scheme = guard && guard->tls() ? "https" : "http";
    try {
        if (config_.prometheus) {
            servers_.push_back(std::make_unique<HttpServer>(config_.prometheus->listen,
                                                            shared ? "metrics and the page" : "metrics",
                                                            shared ? config_.web->hosts : std::vector<std::string>{},
                                                            guard));
            serve_metrics(servers_.back()->routes(), metrics_);
        }
        if (config_.web) {
            if (!shared) {
                servers_.push_back(
                    std::make_unique<HttpServer>(config_.web->listen, "the page", config_.web->hosts, guard));
            }
            serve_pages(servers_.back()->routes(),
                        {live_, config_.history_file, kInstalledChartJs, report_settings_});
            status_line("serving the page on " + scheme + "://" + config_.web->listen + "/");
            if (::access(kInstalledChartJs, R_OK) != 0) {
                status_line("the meter pages draw no charts: Chart.js is not installed at " +
                                std::string(kInstalledChartJs) + " (package libjs-chart.js)",
                            Severity::Warning);
            }
        }
    } catch (const std::exception& e) {
        servers_.clear();
        throw Failure(kExitBadOption, e.what());
    }
    for (auto& server : servers_) server->start();
}

std::vector<MeterIdentity> Site::identities() const {
    std::vector<MeterIdentity> meters;
    for (const MeterConfig& meter : config_.meters) {
        // Its line is there: a file naming a missing line is refused when read.
        const LineConfig* line = config_.line(meter.line);
        meters.push_back({meter.name, meter.line, meter.slave, meter.data_id,
                          meter.series.empty() ? meter.name : meter.series,
                          stale_after_s(meter, line != nullptr ? *line : LineConfig{}),
                          circuit_names_of(meter)});
    }
    return meters;
}

void Site::tell_monitoring() {
    const std::vector<MeterIdentity> meters = identities();
    std::vector<std::string> lines;
    for (const LineConfig& line : config_.lines) lines.push_back(line.name);
    if (metrics_) metrics_->set_site(meters, lines);
    if (live_) {
        std::vector<double> intervals;
        for (const MeterConfig& meter : config_.meters) intervals.push_back(meter.interval_s);
        live_->set_site(meters, intervals);
    }
    if (report_settings_) report_settings_->set({report_setup_of(config_), config_.time_zone});
    if (publisher_) publisher_->set_meters(meters);
}

std::string Site::summary() {
    // Answering as the page and the figures judge it: a round not yet stale.
    int answering = 0;
    for (const MeterIdentity& meter : identities()) answering += round_counter_.fresh(meter);
    const long rounds = round_counter_.rounds();
    if (rounds != rounds_seen_) {
        rounds_seen_ = rounds;
        const auto now = boost::posix_time::second_clock::local_time().time_of_day();
        char at[48];
        std::snprintf(at, sizeof at, "%02d:%02d:%02d", static_cast<int>(now.hours()), static_cast<int>(now.minutes()),
                      static_cast<int>(now.seconds()));
        last_round_at_ = at;
    }
    return std::to_string(answering) + " of " + std::to_string(config_.meters.size()) + " meters answering; " +
           (last_round_at_.empty() ? "no round yet" : "last round " + last_round_at_);
}

bool Site::workers_alive(Clock::duration within) const {
    const auto now = Clock::now();
    return std::all_of(workers_.begin(), workers_.end(),
                       [&](const auto& worker) { return now - worker->last_progress() <= within; });
}

int Site::run() {
    // Old rows go after the first stored round and after each hour of polling.
    std::optional<Clock::time_point> next_prune;
    std::string said = summary();
    service_.ready(said);
    auto next_status = Clock::now() + std::chrono::seconds(1);
    auto next_ping = Clock::now();
    for (const MeterConfig& meter : config_.meters) stdout_.set_interval(meter.name, meter.interval_s);
    while (!stop_requested()) {
        stdout_.refresh();
        if (const int code = drain(); code >= 0) return code;
        if (out_.reader_gone()) return kExitOk;
        if (reload_requested().exchange(false)) {
            service_.reloading();
            reload();
            said = summary();
            service_.ready(said);
        }
        if (Clock::now() >= next_status) {
            next_status = Clock::now() + std::chrono::seconds(1);
            if (std::string now = summary(); now != said) service_.status(said = now);
        }
        // Pings only while every line's worker makes progress: a stuck one
        // stops them, and systemd restarts the service.
        if (const auto interval = service_.watchdog_interval(); interval && Clock::now() >= next_ping) {
            next_ping = Clock::now() + *interval / 2;
            if (workers_alive(*interval)) service_.watchdog();
        }
        // The first once a round is stored: a row's newest is judged by what the history holds.
        if (history_output_ && prunes(config_) &&
            (next_prune ? Clock::now() >= *next_prune
                        : round_counter_.rounds() > 0 && history_output_->waiting() == 0)) {
            next_prune = Clock::now() + std::chrono::hours(1);
            prune();
        }
        if (all_done()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    if (const int code = drain(); code >= 0) return code;
    return kExitOk;
}

void Site::stop() {
    if (!stopping_) {
        stopping_ = true;
        service_.stopping();
    }
    for (auto& worker : workers_) worker->stop();
}

void Site::finish(int code) {
    stop();
    // The page's reader of the history goes before the history is closed.
    servers_.clear();
    std::vector<MeterOutcome> outcomes;
    for (auto& worker : workers_) {
        for (MeterOutcome& outcome : worker->outcomes()) outcomes.push_back(std::move(outcome));
    }
    std::optional<Failure> failure;
    int failed = 0;
    if (options_.once && stop_requested()) {
        const long done = std::count_if(outcomes.begin(), outcomes.end(),
                                        [](const MeterOutcome& o) { return o.end == MeterEnd::Done; });
        if (done < static_cast<long>(config_.meters.size())) {
            if (history_output_) history_output_->finish();
            throw Failure(kExitInterrupted, "interrupted: " + std::to_string(done) + " of " +
                                                std::to_string(config_.meters.size()) + " meters answered once");
        }
    }
    std::set<std::string> closed_lines;  // their messages
    for (const MeterOutcome& outcome : outcomes) {
        if (outcome.end == MeterEnd::LineClosed) closed_lines.insert(outcome.message);
        if (outcome.end == MeterEnd::Done) {
            if (!single_ && options_.once) status_line("meter " + outcome.meter + ": ok");
            continue;
        }
        ++failed;
        if (single_) {
            if (!failure) {
                failure = Failure(outcome.end == MeterEnd::NoWordOrder ? kExitNoWordOrder : kExitMeterFailed,
                                  outcome.message);
            }
        } else {
            status_line("meter " + outcome.meter + ": " + outcome.message, Severity::Error);
        }
    }
    // Records that still wait for the history get one more, patient try;
    // then the publisher has its moment with the broker.
    const HistoryWriter::Unstored unstored = history_output_ ? history_output_->finish() : HistoryWriter::Unstored{};
    // A run too short for its first pruning prunes once its rounds are stored.
    if (history_output_ && prunes(config_) && !pruned_ && round_counter_.rounds() > 0) prune();
    if (publisher_) publisher_->stop();
    if (influx_) influx_->stop();
    if (failure) throw *failure;
    if (!closed_lines.empty()) {
        // A line that cannot be opened is a fault of the line, not of its meters.
        std::string lines;
        for (const std::string& line : closed_lines) lines += (lines.empty() ? "" : "; ") + line;
        throw Failure(kExitBadLine, lines);
    }
    if (failed > 0) {
        throw Failure(kExitMeterFailed, std::to_string(failed) + " of " + std::to_string(config_.meters.size()) +
                                            " meters did not answer as they should");
    }
    if (unstored.lost > 0) {
        throw Failure(kExitBadHistory, std::to_string(unstored.lost) + " completed rounds could not be stored in history " +
                                           *config_.history_file + " and are lost");
    }
    if (unstored.in_journal > 0) {
        throw Failure(kExitBadHistory, std::to_string(unstored.in_journal) + " completed rounds wait in journal " +
                                           history_output_->journal_path() + " for history " + *config_.history_file +
                                           "; they are stored at the next start");
    }
    if (code != kExitOk) throw Failure(code, "cannot write to standard output: " + out_.error());
}

std::unique_ptr<MeterDevice> Site::make_meter(const MeterConfig& meter) {
    try {
        return std::make_unique<MeterDevice>(*plugin_, meter, *config_.plugin);
    } catch (const MeterSetupError& e) {
        throw Failure(e.cause == MeterSetupError::Cause::Plugin ? kExitBadPlugin : kExitBadSetting, e.what());
    }
}

std::unique_ptr<LineWorker> Site::make_worker(const LineConfig& line, std::unique_ptr<ModbusMaster> master) {
    PollLimits limits;
    limits.rounds = options_.rounds;
    limits.once = options_.once;
    limits.max_failures = options_.max_failures;
    limits.round_status = single_;
    // The history first: the publisher sends what it stored.
    std::vector<RoundOutput*> outputs;
    if (history_output_) outputs.push_back(history_output_.get());
    outputs.push_back(&stdout_);
    outputs.push_back(&round_counter_);
    if (metrics_) outputs.push_back(metrics_.get());
    if (live_) outputs.push_back(live_.get());
    if (publisher_) outputs.push_back(publisher_.get());
    if (influx_) outputs.push_back(influx_.get());
    return std::make_unique<LineWorker>(line, std::move(master), std::move(outputs), limits, status_report);
}

std::unique_ptr<ModbusMaster> Site::open_site_line(const LineConfig& line,
                                        const std::vector<std::unique_ptr<MeterDevice>>& meters) {
    if (single_) {
        meter_line_ = open_meter_line(options_);
        simulated_ = meter_line_.simulated != nullptr;
        polled_device_ = meter_line_.settings.device;
        if (options_.word_order_auto) {
            const OrderFinding found = find_word_order(*meter_line_.master);
            if (!found.answered) {
                throw Failure(kExitMeterFailed, likely_causes(found.fault, found.error, meter_line_.settings));
            }
            if (found.plausible.size() != 1) throw Failure(kExitNoWordOrder, no_single_order(found));
            status_line(order_found(found));
            meters.front()->set_word_order(found.plausible[0]);
            auto& config = config_.meters.front();
            config.word_order = found.plausible[0];
            config.word_order_auto = false;
        }
        return std::move(meter_line_.master);
    }
    try {
        return open_line(line.settings);
    } catch (const std::exception& e) {
        status_line("line " + line.name + ": " + e.what() + "; retrying", Severity::Warning);
        return nullptr;
    }
}

bool Site::restore(MeterDevice& meter) {
    const std::uint32_t id = meter.config().data_id;
    std::optional<std::vector<unsigned char>> newest;
    try {
        newest = history_output_->newest(id, meter.identity().series);
    } catch (const std::exception& e) {
        throw Failure(kExitBadHistory, e.what());
    }
    if (!newest) return false;
    const bool restored = meter.restore(*newest);
    status_line(std::string(restored ? "restored" : "could not restore") + " the newest record of data id " +
                std::to_string(id) + " from " + *config_.history_file);
    return restored;
}

int Site::drain() {
    switch (stdout_.drain()) {
    case JsonOutput::Result::Written: return -1;
    case JsonOutput::Result::Closed: stop(); return kExitOk;  // the reader has had enough
    case JsonOutput::Result::Failed: stop(); return kExitBadOutput;
    }
    return -1;
}

bool Site::all_done() const {
    if (!options_.rounds && !options_.once && !options_.max_failures) return false;
    return std::all_of(workers_.begin(), workers_.end(), [](const auto& w) { return w->all_done(); });
}

void Site::prune() {
    pruned_ = true;
    const auto now = boost::posix_time::second_clock::local_time();
    // Rounds the broker has not acknowledged stay, unless too many wait.
    std::optional<std::int64_t> keep_after = publisher_ ? publisher_->keep_after() : std::nullopt;
    if (const std::optional<std::int64_t> influx = influx_ ? influx_->keep_after() : std::nullopt) {
        keep_after = keep_after ? std::min(*keep_after, *influx) : *influx;
    }
    for (const MeterConfig& meter : config_.meters) {
        try {
            if (config_.keep_days) {
                const auto cutoff = now - boost::gregorian::days(*config_.keep_days);
                const long removed = history_output_->prune(meter.data_id, cutoff, keep_after);
                history_output_->prune_minutes(meter.data_id, now - boost::gregorian::days(*minutes_days(config_)));
                if (removed > 0) {
                    status_line((single_ ? "" : "meter " + meter.name + ": ") + "deleted " + std::to_string(removed) +
                                " rows older than " + std::to_string(*config_.keep_days) + " days");
                }
            }
            if (config_.keep_statistics_days > 0) {
                history_output_->prune_statistics(meter.data_id,
                                                  now - boost::gregorian::days(config_.keep_statistics_days));
            }
        } catch (const std::exception& e) {
            status_line(e.what(), Severity::Warning);
        }
    }
}

void Site::reload() {
    SiteConfig next;
    try {
        next = read_site_config(options_.config);
    } catch (const ConfigErrors& errors) {
        for (const std::string& line : errors.lines) status_line(line, Severity::Error);
        status_line("kept the running configuration: " + options_.config + " has errors", Severity::Warning);
        return;
    }
    // The web configuration file is read again (a renewed certificate, new
    // logins); one that cannot be used leaves the running one in force.
    if (guard_) {
        try {
            guard_->reload(read_web_config(config_.web->web_config_file));
            status_line("read the web configuration " + config_.web->web_config_file + " again");
        } catch (const std::exception& e) {
            status_line("kept the running web configuration: " + std::string(e.what()), Severity::Warning);
        }
    }
    if (next.plugin && !options_.plugin_given && *next.plugin != *config_.plugin) {
        status_line("a new plug-in takes effect at the next start");
    }
    if (next.history_file && !options_.history_given && config_.history_file &&
        *next.history_file != *config_.history_file) {
        status_line("a new history takes effect at the next start");
    }
    if (next.mqtt != config_.mqtt || next.influxdb != config_.influxdb ||
        (!options_.metrics && next.prometheus != config_.prometheus) || (!options_.web && next.web != config_.web)) {
        status_line("a changed [mqtt], [influxdb], [prometheus] or [web] takes effect at the next start");
    }
    if (options_.log_level) {
        next.log_level = config_.log_level;
    } else if (next.log_level != config_.log_level) {
        set_log_level(next.log_level ? *parse_log_level(*next.log_level) : Severity::Info);
    }
    next.plugin = config_.plugin;
    next.history_file = config_.history_file;
    next.mqtt = config_.mqtt;
    next.influxdb = config_.influxdb;
    next.prometheus = config_.prometheus;
    next.web = config_.web;
    if (!options_.keep_days) config_.keep_days = next.keep_days;
    next.keep_days = config_.keep_days;

    std::vector<std::string> running_lines;
    for (const auto& worker : workers_) running_lines.push_back(worker->config().name);
    const ReloadPlan plan = plan_reload(config_, running_lines, next);
    const auto named = [](const SiteConfig& c, const std::string& name) {
        return *std::find_if(c.meters.begin(), c.meters.end(), [&](const MeterConfig& m) { return m.name == name; });
    };
    int stopped = 0, started = 0;
    for (const std::string& name : plan.lines_stopped) {
        const auto it = std::find_if(workers_.begin(), workers_.end(),
                                     [&](const auto& w) { return w->config().name == name; });
        stopped += static_cast<int>((*it)->meters().size());
        (*it)->stop();
        workers_.erase(it);
    }
    for (const auto& [line, meters] : plan.meters_stopped) {
        auto& worker = *std::find_if(workers_.begin(), workers_.end(),
                                     [&](const auto& w) { return w->config().name == line; });
        for (const std::string& name : meters) worker->remove(name);
        stopped += static_cast<int>(meters.size());
    }
    for (const auto& [line, meters] : plan.meters_started) {
        auto& worker = *std::find_if(workers_.begin(), workers_.end(),
                                     [&](const auto& w) { return w->config().name == line; });
        for (const std::string& name : meters) started += add_meter(*worker, named(next, name));
    }
    for (const std::string& name : plan.lines_started) {
        const LineConfig& line = *next.line(name);
        std::unique_ptr<LineWorker> worker;
        try {
            worker = make_worker(line, open_site_line(line, {}));
        } catch (const std::exception& e) {
            status_line("line " + line.name + ": " + e.what(), Severity::Warning);
            continue;
        }
        for (const MeterConfig& meter : next.meters) {
            if (meter.line == name) started += add_meter(*worker, meter);
        }
        worker->start();
        workers_.push_back(std::move(worker));
    }
    config_ = next;
    tell_monitoring();
    status_line("reloaded " + options_.config + ": " + std::to_string(stopped) + " meters stopped, " +
                std::to_string(started) + " started, " + std::to_string(config_.meters.size()) + " polled");
}

int Site::add_meter(LineWorker& worker, const MeterConfig& meter) {
    try {
        auto device = make_meter(meter);
        const bool restored = restore(*device);
        worker.add(std::move(device), restored);
        return 1;
    } catch (const std::exception& e) {
        status_line("meter " + meter.name + " not started: " + e.what(), Severity::Warning);
        return 0;
    }
}

}  // namespace pondrel
