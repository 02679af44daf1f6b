#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace testing_support {

StdoutCapture::StdoutCapture() {
    std::cout.flush();
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    if (file == nullptr) throw std::runtime_error("tmpfile failed");
    file_fd_ = dup(fileno(file));
    std::fclose(file);
    saved_fd_ = dup(STDOUT_FILENO);
    if (file_fd_ < 0 || saved_fd_ < 0 || dup2(file_fd_, STDOUT_FILENO) < 0) {
        throw std::runtime_error("cannot redirect standard output");
    }
}

StdoutCapture::~StdoutCapture() { restore(); }

void StdoutCapture::restore() {
    if (saved_fd_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    saved_fd_ = -1;
    text_.clear();
    lseek(file_fd_, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(file_fd_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<std::size_t>(got));
    close(file_fd_);
    file_fd_ = -1;
}

std::string StdoutCapture::text() {
    restore();
    return text_;
}

}  // namespace testing_support
