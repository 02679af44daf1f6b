#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "file_change.h"

namespace testing_support {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    char err_template[] = "/tmp/pondrel-child-XXXXXX";
    const int err_fd = mkstemp(err_template);
    int out_pipe[2];
    if (err_fd < 0 || pipe(out_pipe) != 0) throw std::runtime_error("cannot set up a child process");
    err_path_ = err_template;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        close(out_pipe[0]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_fd);
    out_fd_ = out_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    close(out_fd_);
    unlink(err_path_.c_str());
}

bool ChildProcess::fill(std::chrono::milliseconds timeout) {
    if (out_closed_) return false;
    pollfd ready{out_fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t got = read(out_fd_, chunk, sizeof chunk);
    if (got <= 0) {
        out_closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(left)) return std::nullopt;
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status_ = -1;
            break;
        }
        fill(std::chrono::milliseconds(20));  // keep the pipe from filling up
    }
    while (fill(std::chrono::milliseconds(0))) {
    }
    return *status_;
}

std::vector<std::string> ChildProcess::remaining_lines() {
    std::vector<std::string> lines;
    while (auto line = read_line(std::chrono::milliseconds(0))) lines.push_back(*line);
    if (!buffer_.empty()) lines.push_back(buffer_);
    buffer_.clear();
    return lines;
}

std::string ChildProcess::error_text() const {
    std::ifstream file(err_path_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool ChildProcess::wait_for_error(const std::string& text, std::chrono::milliseconds timeout) const {
    return wait_for_change(err_path_, [&] { return error_text().find(text) != std::string::npos; }, timeout);
}

void ChildProcess::send_signal(int signal) const { kill(pid_, signal); }

Finished run_program(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    ChildProcess child(argv);
    Finished finished;
    finished.code = child.wait(timeout);
    finished.lines = child.remaining_lines();
    finished.errors = child.error_text();
    return finished;
}

}  // namespace testing_support
