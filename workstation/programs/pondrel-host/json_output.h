// Standard output of pondrel-host carries the JSON lines and nothing else.
// Made before anything else can write there (before the plug-in is loaded):
// it keeps the original descriptor 1 for the lines and points descriptor 1
// at standard error, where the console lines of loaded plug-ins then go.
// Main thread only.
#pragma once

#include <string>

namespace pondrel {

class JsonOutput {
public:
    enum class Result { Written, Closed, Failed };

    // Throws std::runtime_error when standard output is not open.
    JsonOutput();
    ~JsonOutput();
    JsonOutput(const JsonOutput&) = delete;
    JsonOutput& operator=(const JsonOutput&) = delete;

    // Where the console lines of loaded plug-ins go: standard error, or
    // nowhere (they are a round's chatter, shown at the debug level).
    void show_console_lines(bool show);
    // Writes `line` whole. Closed: the reader has gone (a closed pipe);
    // Failed: any other error, whose text error() gives.
    Result write(const std::string& line);
    // True when the reader of a pipe has gone, without writing.
    bool reader_gone() const;
    // True when the lines go to a terminal.
    bool is_terminal() const;
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace pondrel
