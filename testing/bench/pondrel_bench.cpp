// Benchmarks of the plug-in as the host loads it, with reference points
// measured in the same run, and the ratios that make the figures comparable
// on a noisy machine. The driver's console lines go to a null sink; the
// report goes to the original standard output.
#include <unistd.h>
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <vector>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/writer.h>

#include "bench_host.h"

namespace {

const Pondrel_Data_t kValues = bench_host::sample_record();

struct Driver {
    Driver() : d(bench_host::create_driver()) {
        harness::complete_round(*d, kValues);
        char out[4096];
        int written = 0;
        d->DeviceIoControl(801, nullptr, 0, out, sizeof out, written);
    }
    ~Driver() { bench_host::destroy(d); }
    Pondrel* d;
};

// The snapshot built afresh from a record, the way a first build makes it.
Json::Value fresh_snapshot(const Pondrel_Data_t& record) {
    Json::Value value;
    char key[48];
    value["电压"] = static_cast<double>(record.voltage);
    const char* formats[3] = {"电流%d", "功率%d", "电度%d"};
    for (int kind = 0; kind < 3; ++kind) {
        float block[kPondrelCircuits];
        std::memcpy(block, reinterpret_cast<const unsigned char*>(&record) + 8 + 72 * kind, sizeof block);
        for (int n = 1; n <= kPondrelCircuits; ++n) {
            std::snprintf(key, sizeof key, formats[kind], n);
            value[key] = static_cast<double>(kind == 1 ? block[n - 1] / 1000.0f : block[n - 1]);
        }
    }
    value["更新时间"] = "2026-12-9 23:59:59";
    return value;
}

void BM_Round(benchmark::State& state) {
    Driver driver;
    for (auto _ : state) benchmark::DoNotOptimize(harness::complete_round(*driver.d, kValues));
}
BENCHMARK(BM_Round);

// The same round while 32 devices, this one among them, have host services
// of their own, as a site's meters do: each host call finds its device's
// services in the registry.
void BM_Round32Registered(benchmark::State& state) {
    Driver driver;
    static pondrel::HostServices services[32];
    struct alignas(KovVDevice) Place {};
    static const Place others[31] = {};
    std::vector<const KovVDevice*> devices;
    for (const Place& other : others) devices.push_back(reinterpret_cast<const KovVDevice*>(&other));
    devices.push_back(static_cast<const KovVDevice*>(driver.d));
    for (std::size_t i = 0; i < devices.size(); ++i) pondrel::register_services(devices[i], &services[i]);
    for (auto _ : state) benchmark::DoNotOptimize(harness::complete_round(*driver.d, kValues));
    for (const KovVDevice* device : devices) pondrel::unregister_services(device);
}
BENCHMARK(BM_Round32Registered);

// What a round cannot do without: the four copies, one local-time read and
// the console line, into the same sink.
void BM_RoundFloor(benchmark::State& state) {
    Pondrel_Data_t record{};
    unsigned char payload[256];
    std::memcpy(payload, &kValues, sizeof kValues);
    auto* bytes = reinterpret_cast<unsigned char*>(&record);
    for (auto _ : state) {
        std::memcpy(bytes + 4, payload, 4);
        std::memcpy(bytes + 8, payload, 72);
        std::memcpy(bytes + 80, payload, 72);
        std::memcpy(bytes + 152, payload, 72);
        benchmark::DoNotOptimize(boost::posix_time::second_clock::local_time());
        std::cout << "rvSize is " << 0 << std::endl;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RoundFloor);

void BM_TextUnchanged(benchmark::State& state) {
    Driver driver;
    char out[4096];
    int written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.d->DeviceIoControl(801, nullptr, 0, out, sizeof out, written));
    }
}
BENCHMARK(BM_TextUnchanged);

void BM_TextAfterRound(benchmark::State& state) {
    Driver driver;
    char out[4096];
    int written = 0;
    for (auto _ : state) {
        driver.d->update_time += boost::posix_time::seconds(1);  // a round of a new second
        benchmark::DoNotOptimize(driver.d->DeviceIoControl(801, nullptr, 0, out, sizeof out, written));
    }
}
BENCHMARK(BM_TextAfterRound);

void BM_Address(benchmark::State& state) {
    Driver driver;
    const Json::Value* address = nullptr;
    int written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(driver.d->DeviceIoControl(803, nullptr, 0, &address, sizeof address, written));
    }
}
BENCHMARK(BM_Address);

void BM_RebuildInPlace(benchmark::State& state) {
    Driver driver;
    const Json::Value* address = nullptr;
    int written = 0;
    for (auto _ : state) {
        driver.d->update_time += boost::posix_time::seconds(1);
        benchmark::DoNotOptimize(driver.d->DeviceIoControl(803, nullptr, 0, &address, sizeof address, written));
    }
}
BENCHMARK(BM_RebuildInPlace);

void BM_GetValue(benchmark::State& state) {
    Driver driver;
    const std::string name = "x";
    for (auto _ : state) {
        try {
            driver.d->Get_Value(0, name);
        } catch (const std::out_of_range& e) {
            benchmark::DoNotOptimize(e.what());
        }
    }
}
BENCHMARK(BM_GetValue);

void BM_LoadFromCache(benchmark::State& state) {
    Driver driver;
    const auto* image = reinterpret_cast<const unsigned char*>(&kValues);
    for (auto _ : state) benchmark::DoNotOptimize(driver.d->LoadFromCache(image, 231));
}
BENCHMARK(BM_LoadFromCache);

void BM_RefWriter(benchmark::State& state) {
    const Json::Value value = fresh_snapshot(kValues);
    for (auto _ : state) benchmark::DoNotOptimize(Json::FastWriter().write(value));
}
BENCHMARK(BM_RefWriter);

void BM_RefFreshBuild(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(fresh_snapshot(kValues));
}
BENCHMARK(BM_RefFreshBuild);

void BM_RefMemcpy231(benchmark::State& state) {
    Pondrel_Data_t to{};
    for (auto _ : state) {
        std::memcpy(&to, &kValues, sizeof to);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(to);
}
BENCHMARK(BM_RefMemcpy231);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) nanoseconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void print_ratios(std::ostream& out) const {
        out << "\nratio                                   value   aim\n";
        ratio(out, "unchanged 801 / bare writer", "BM_TextUnchanged", "BM_RefWriter", "<= 0.01");
        ratio(out, "rebuild in place / fresh build", "BM_RebuildInPlace", "BM_RefFreshBuild", "<= 0.6");
        ratio(out, "round / its floor", "BM_Round", "BM_RoundFloor", "<= 2");
        ratio(out, "round, 32 registered / its floor", "BM_Round32Registered", "BM_RoundFloor", "<= 2");
        ratio(out, "801 after a round / (build + writer)", "BM_TextAfterRound", "BM_RefFreshBuild",
              "", "BM_RefWriter");
        ratio(out, "803 / 231-byte memcpy", "BM_Address", "BM_RefMemcpy231", "");
    }

private:
    void ratio(std::ostream& out, const char* what, const char* a, const char* b, const char* aim,
               const char* b2 = nullptr) const {
        const auto ta = nanoseconds_.find(a);
        const auto tb = nanoseconds_.find(b);
        if (ta == nanoseconds_.end() || tb == nanoseconds_.end()) return;
        double denominator = tb->second;
        if (b2 != nullptr && nanoseconds_.count(b2)) denominator += nanoseconds_.at(b2);
        char line[160];
        std::snprintf(line, sizeof line, "%-38s %7.3f   %s\n", what, ta->second / denominator, aim);
        out << line;
    }
    std::map<std::string, double> nanoseconds_;
};

}  // namespace

int main(int argc, char** argv) {
    // The report keeps the real standard output; the driver's lines (and the
    // floor's) go to /dev/null through the same std::cout.
    const int real_stdout = dup(STDOUT_FILENO);
    std::ofstream report("/proc/self/fd/" + std::to_string(real_stdout));
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;  // plain text: the report often goes to a file
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(report);
    benchmark::Shutdown();
    return 0;
}
