// The process's standard streams, its terminal and the signals that reach
// it. One implementation per platform, picked by the build.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kormelt::tool {

// Puts the null device on each standard stream the tool was started without,
// before anything else is opened: otherwise the next file opened, the
// library's serial port included, takes the stream's place and receives
// what is printed. False with a reason when the null device cannot be had.
bool KeepStandardStreamsOpen(std::string *error);

// True when standard output is an interactive terminal (progress bars are
// drawn only there).
bool StdoutIsTerminal();

// The width of the terminal on standard output in columns, or 0 when it is
// unknown: what the terminal says, else $COLUMNS. WatchTerminalWidth has a
// change of size noticed at the next call.
size_t TerminalColumns();
bool WatchTerminalWidth(std::string *error);

// Ctrl-C, and on POSIX also SIGTERM and SIGHUP (the terminal or the remote
// session went away), only raise a flag; the flash run polls it from the
// progress callback and cancels through the library.
bool InstallCancelHandler(std::string *error);
bool CancelRequested();

// A reader of the output that goes away (`kormelt flash | head`) fails the
// write instead of ending the process: an update is never cut short by
// what becomes of its output.
bool KeepRunningWhenOutputBreaks(std::string *error);

// What every command that runs updates (flash, station, ui) sets up first:
// the signals that cancel a run, and output that may break without ending
// it. When either cannot be had it says why on stderr and returns false;
// the command then exits with EXIT_SYSTEM.
inline bool PrepareUpdateRun() {
    std::string error;
    if (InstallCancelHandler(&error) && KeepRunningWhenOutputBreaks(&error)) {
        return true;
    }
    std::fprintf(stderr, "kormelt: %s\n", error.c_str());
    return false;
}

}  // namespace kormelt::tool
