// The exit codes of the workstation programs, stated once. Every program
// uses the codes of its kind; the user's guide's table is checked against
// kExitCodes by a test.
#pragma once

namespace pondrel {

enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,      // anything unexpected (out of memory, ...)
    kExitBadOption = 2,
    kExitBadPlugin = 3,
    kExitBadSetting = 4,
    kExitBadLine = 5,       // serial device or gateway
    kExitBadHistory = 6,
    kExitBadOutput = 7,     // standard output cannot be written
    kExitMeterFailed = 8,   // the meter did not answer as it should
    kExitNoWordOrder = 9,   // no single word order fits
    kExitInterrupted = 130, // a check (--once, --scan) stopped by a signal before its end
};

struct ExitCodeMeaning {
    ExitCode code;
    const char* meaning;
};

// Every code with its meaning, in order, as the user's guide states them.
inline constexpr ExitCodeMeaning kExitCodes[] = {
    {kExitOk, "done"},
    {kExitInternal, "unexpected failure"},
    {kExitBadOption, "bad option"},
    {kExitBadPlugin, "plug-in"},
    {kExitBadSetting, "setting file"},
    {kExitBadLine, "serial device or gateway"},
    {kExitBadHistory, "history"},
    {kExitBadOutput, "standard output cannot be written"},
    {kExitMeterFailed, "the meter did not answer as it should"},
    {kExitNoWordOrder, "no single word order fits"},
    {kExitInterrupted, "interrupted"},
};

}  // namespace pondrel
