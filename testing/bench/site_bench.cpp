// pondrel_site_bench: pondrel-host polling a site of simulated meters.
//   1. Eight meters on one line paced at 9600 baud, interval 0: the time of a
//      cycle of all eight against the line's floor (8 rounds on the wire).
//   2. The same line with one meter silent (timeout 500 ms): each live
//      meter's rate after the first minute, against its rate with the silent
//      meter removed.
//   3. 32 meters on 4 unpaced lines at 1 s intervals for a minute: rounds
//      each meter completed, pondrel-host's CPU time and peak resident memory.
// Each aim is printed beside its figure.
//
// usage: pondrel_site_bench [quick]   (quick: shorter runs, for a look)
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "simulated_meter.h"

using namespace pondrel;

namespace {

using Clock = std::chrono::steady_clock;

// One round on the wire at `baud`, 8N1: four requests of 8 bytes and their
// replies (5 + 2 bytes a register), each frame followed by 3.5 characters.
double floor_ms(int baud) {
    double chars = 0;
    for (int registers : {2, 36, 36, 36}) chars += 8 + 3.5 + (5 + 2 * registers) + 3.5;
    return chars * 10.0 * 1000.0 / baud;
}

struct Line {
    std::string name;
    std::string device;
    std::vector<int> slaves;
};

std::string site_file(const std::string& folder, const std::vector<Line>& lines, const std::string& meter_keys,
                      const std::string& line_keys) {
    std::ostringstream text;
    text << "[history]\nfile = \"" << folder << "/history.db\"\n\n";
    for (const Line& line : lines) {
        text << "[[line]]\nname = \"" << line.name << "\"\ndevice = \"" << line.device << "\"\n" << line_keys << "\n";
    }
    for (const Line& line : lines) {
        for (int slave : line.slaves) {
            text << "[[meter]]\nname = \"" << line.name << "-" << slave << "\"\nline = \"" << line.name
                 << "\"\nslave = " << slave << "\n" << meter_keys << "\n";
        }
    }
    const std::string path = folder + "/site.toml";
    std::ofstream(path) << text.str();
    return path;
}

// pondrel-host --config FILE run for `seconds` (or until it ends): the time
// each meter's lines arrived, its CPU seconds and peak resident kilobytes.
struct Run {
    std::map<std::string, std::vector<double>> arrivals;  // seconds since start, by meter
    double cpu_seconds = 0;
    long peak_kb = 0;
};

Run run_host(const std::string& config, double seconds, const std::vector<std::string>& extra = {}) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("no pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 2);
        std::vector<std::string> args = {PONDREL_HOST_EXE, "--config", config};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    FILE* out = fdopen(pipe_fds[0], "r");
    Run run;
    const auto start = Clock::now();
    std::atomic<bool> ended{false};
    std::thread stopper([&] {
        while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
            if (ended) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // The figures of the whole run, read just before it is stopped.
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field;
        std::vector<std::string> fields;
        while (stat >> field) fields.push_back(field);
        if (fields.size() > 15) {
            run.cpu_seconds = static_cast<double>(std::stol(fields[13]) + std::stol(fields[14])) /
                              static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) run.peak_kb = std::stol(line.substr(6));
        }
        kill(pid, SIGTERM);
    });
    char buffer[1 << 14];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) {
        const double at = std::chrono::duration<double>(Clock::now() - start).count();
        const char* name = std::strstr(buffer, "{\"meter\":\"");
        if (name == nullptr) continue;
        name += 10;
        run.arrivals[std::string(name, std::strchr(name, '"'))].push_back(at);
    }
    fclose(out);
    ended = true;
    stopper.join();
    int status = 0;
    waitpid(pid, &status, 0);
    return run;
}

std::vector<int> slaves(int from, int to) {
    std::vector<int> list;
    for (int s = from; s <= to; ++s) list.push_back(s);
    return list;
}

// Rounds a second between `from` and `to`: from the first round completed in
// that window to the last, so the figure is not rounded to whole rounds.
double rate_in(const std::vector<double>& times, double from, double to) {
    std::vector<double> inside;
    for (double t : times) {
        if (t >= from && t < to) inside.push_back(t);
    }
    if (inside.size() < 2) return 0;
    return static_cast<double>(inside.size() - 1) / (inside.back() - inside.front());
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "quick";
    char folder_template[] = "/tmp/pondrel-site-bench-XXXXXX";
    const std::string folder = mkdtemp(folder_template);
    try {
        std::printf("| Measure | Figure | Aim |\n| --- | ---: | --- |\n");
        {
            // 1. Eight meters, one paced line, interval 0.
            MeterServerOptions options;
            options.slaves = slaves(1, 8);
            options.line_baud = 9600;
            const SimulatedMeter meter(options);
            const std::string config = site_file(folder, {{"bus", meter.device_path(), slaves(1, 8)}},
                                                 "interval = 0\n", "baud = 9600\n");
            const Run run = run_host(config, 120, {"--rounds", quick ? "5" : "12"});
            double cycle_sum = 0;
            int meters = 0;
            for (const auto& [name, times] : run.arrivals) {
                if (times.size() < 3) continue;
                cycle_sum += (times.back() - times[1]) / static_cast<double>(times.size() - 2);
                ++meters;
            }
            const double cycle_ms = 1000.0 * cycle_sum / meters;
            std::printf("| 8 meters, one line at 9600 baud, interval 0: a cycle of all eight | %.0f ms = %.3f x "
                        "8 x %.1f ms | at most 1.05 x |\n",
                        cycle_ms, cycle_ms / (8 * floor_ms(9600)), floor_ms(9600));
        }
        {
            // 2. One of them silent; its rate against the line without it.
            const double warm = quick ? 20 : 60;
            const double window = quick ? 10 : 30;
            MeterServerOptions options;
            options.slaves = slaves(1, 8);
            options.line_baud = 9600;
            options.faults.of_slave[8] = MeterFault::Silent;
            const SimulatedMeter meter(options);
            const std::string keys = "interval = 0\n";
            const std::string line_keys = "baud = 9600\ntimeout_ms = 500\n";
            const Run without = run_host(site_file(folder, {{"bus", meter.device_path(), slaves(1, 7)}}, keys,
                                                   line_keys),
                                         5 + window);
            const Run with = run_host(site_file(folder, {{"bus", meter.device_path(), slaves(1, 8)}}, keys, line_keys),
                                      warm + window);
            double worst = 1e9;
            for (int s = 1; s <= 7; ++s) {
                const std::string name = "bus-" + std::to_string(s);
                const double base = rate_in(without.arrivals.at(name), 5, 5 + window);
                const double live = rate_in(with.arrivals.at(name), warm, warm + window);
                worst = std::min(worst, live / base);
            }
            std::printf("| one meter of 8 silent (timeout 500 ms): the live meters' rounds after %.0f s, "
                        "against the line without it | %.3f (the worst of 7) | at least 0.9 |\n",
                        warm, worst);
        }
        {
            // 3. 32 meters on 4 unpaced lines at 1 s.
            const double seconds = quick ? 20 : 60;
            std::vector<std::unique_ptr<SimulatedMeter>> meters;
            std::vector<Line> lines;
            for (int l = 1; l <= 4; ++l) {
                MeterServerOptions options;
                options.slaves = slaves(1, 8);
                meters.push_back(std::make_unique<SimulatedMeter>(options));
                lines.push_back({"line" + std::to_string(l), meters.back()->device_path(), slaves(1, 8)});
            }
            const Run run = run_host(site_file(folder, lines, "interval = 1\n", ""), seconds + 0.5);
            std::size_t fewest = 1000000;
            for (const Line& line : lines) {
                for (int s : line.slaves) {
                    const auto found = run.arrivals.find(line.name + "-" + std::to_string(s));
                    fewest = std::min(fewest, found == run.arrivals.end() ? 0 : found->second.size());
                }
            }
            std::printf("| 32 meters, 4 unpaced lines, 1 s: rounds of the meter with the fewest in %.0f s | %zu "
                        "| %.0f, every meter on time |\n",
                        seconds, fewest, seconds);
            std::printf("| the same: pondrel-host's CPU | %.2f%% of one core | at most 5%% |\n",
                        100.0 * run.cpu_seconds / seconds);
            std::printf("| the same: peak resident memory | %.1f MB | at most 64 MB |\n", run.peak_kb / 1024.0);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pondrel_site_bench: %s\n", e.what());
        std::filesystem::remove_all(folder);
        return 1;
    }
    std::filesystem::remove_all(folder);
    return 0;
}
