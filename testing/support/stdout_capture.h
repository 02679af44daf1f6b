// Captures what the process writes to standard output (stdio and std::cout)
// between construction and text(), by pointing file descriptor 1 at a
// temporary file. Not for concurrent use.
#pragma once

#include <string>

namespace testing_support {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Stops capturing and returns everything written since construction.
    std::string text();

private:
    void restore();
    int saved_fd_ = -1;
    int file_fd_ = -1;
    std::string text_;
};

}  // namespace testing_support
