#include "program_main.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <new>

namespace pondrel {

namespace {

std::atomic<int> shown{static_cast<int>(Severity::Info)};

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected to the
// journal; standard error is the journal when it is that stream.
bool error_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat info {};
    return fstat(2, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

std::mutex report_mutex;  // lines of several threads stay whole
std::function<void(const std::string&)> report_sink;

}  // namespace

void set_report_sink(std::function<void(const std::string& line)> sink) {
    std::lock_guard<std::mutex> lock(report_mutex);
    report_sink = std::move(sink);
}

void report(const char* program, const std::string& line, Severity severity) {
    if (static_cast<int>(severity) > shown.load()) return;
    static const bool journal = error_is_journal();
    std::lock_guard<std::mutex> lock(report_mutex);
    if (report_sink) {
        report_sink(std::string(program) + ": " + line);
        return;
    }
    if (journal) std::cerr << '<' << static_cast<int>(severity) << '>';
    std::cerr << program << ": " << line << std::endl;
}

void set_log_level(Severity level) { shown = static_cast<int>(level); }

Severity log_level() { return static_cast<Severity>(shown.load()); }

std::optional<Severity> parse_log_level(const std::string& text) {
    if (text == "error") return Severity::Error;
    if (text == "warning") return Severity::Warning;
    if (text == "info") return Severity::Info;
    if (text == "debug") return Severity::Debug;
    return std::nullopt;
}

int guarded_main(const char* program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const Failure& failure) {
        report(program, failure.what(), Severity::Error);
        return failure.code;
    } catch (const std::bad_alloc&) {
        report(program, "out of memory", Severity::Error);
    } catch (const std::exception& e) {
        report(program, e.what(), Severity::Error);
    } catch (...) {
        report(program, "an unknown failure", Severity::Error);
    }
    return kExitInternal;
}

}  // namespace pondrel
