// A program run by a test: standard output read line by line through a pipe,
// standard error collected in a file. Killed if still running at the end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output (without its line feed), or nothing
    // if none came within `timeout` or the output ended.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    // Waits for the exit and returns its code (128 + signal for a signal);
    // kills the program and returns -1 after `timeout`. The rest of the
    // output stays readable through remaining_lines().
    int wait(std::chrono::milliseconds timeout);
    std::vector<std::string> remaining_lines();
    std::string error_text() const;
    // Waits until standard error holds `text`; false if it did not within `timeout`.
    bool wait_for_error(const std::string& text, std::chrono::milliseconds timeout) const;
    void send_signal(int signal) const;

private:
    bool fill(std::chrono::milliseconds timeout);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string err_path_;
    std::string buffer_;
    bool out_closed_ = false;
    std::optional<int> status_;
};

// Runs to completion within `timeout`; returns the exit code, with all
// standard output and error.
struct Finished {
    int code;
    std::vector<std::string> lines;
    std::string errors;
};
Finished run_program(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace testing_support
