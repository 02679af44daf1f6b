#include "json_output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace pondrel {

JsonOutput::JsonOutput() {
    fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) throw std::runtime_error(std::string("standard output is not open: ") + std::strerror(errno));
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        const std::string reason = std::strerror(errno);
        close(fd_);
        throw std::runtime_error("cannot send console lines to standard error: " + reason);
    }
}

JsonOutput::~JsonOutput() { close(fd_); }

void JsonOutput::show_console_lines(bool show) {
    if (show) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        return;
    }
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0) return;  // they stay on standard error
    dup2(nowhere, STDOUT_FILENO);
    close(nowhere);
}

JsonOutput::Result JsonOutput::write(const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (errno == EPIPE) return Result::Closed;
            error_ = std::strerror(errno);
            return Result::Failed;
        }
        done += static_cast<std::size_t>(n);
    }
    return Result::Written;
}

bool JsonOutput::is_terminal() const { return isatty(fd_) == 1; }

bool JsonOutput::reader_gone() const {
    pollfd state{fd_, POLLOUT, 0};
    return poll(&state, 1, 0) == 1 && (state.revents & POLLERR) != 0;
}

}  // namespace pondrel
