// The few operating system services the tool needs beyond standard C++.
// One implementation per platform, picked by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Decides which device stands behind each of COM1..COM7 for the next
// search, unless the search was pointed at one device. On Linux: a
// KORMELT_COM<n> the user set keeps its place; the other ports go to the
// serial devices found, USB and ACM adapters first, then UARTs, the system
// console left out. Elsewhere the ports are fixed and nothing changes. False
// with a reason when the mapping cannot be handed to the library.
bool MapPorts(std::string *error);

// The device the library opens for COMn on this platform.
std::string PortDevice(uint32_t n);
// Where that name comes from, shown by `kormelt ports` ("KORMELT_COM3",
// "USB adapter", "fixed").
std::string PortDeviceSource(uint32_t n);
// Serial devices found that no port from COM1 to COM7 reaches.
std::vector<std::string> PortsLeftOver();

enum class PortState { Free, Missing, InUse, NoAccess, NotTerminal, Unusable };

struct PortProbe {
    PortState state;
    std::string detail;  // the system's reason when the state is not Free
};

// Opens the device the way the library would and lets go of it at once. A
// path that is no character device is not opened at all.
PortProbe ProbePort(const std::string &device);

// What to try when no device was found, in this platform's terms.
std::string SearchHint();

// Makes the next search look at this device only. False with a reason when
// the platform cannot redirect its ports.
bool PointSearchAtDevice(const std::string &device, std::string *error);

// Whether two names lead to the same file, links followed: the same inode
// of the same device, or on Windows the same file index of the same volume.
// False when either cannot be looked at (it does not exist, for one).
bool SameFile(const std::string &a, const std::string &b);

enum class ReadOutcome { Ok, Unreadable, NotRegular, TooLarge, Cancelled };

// Reads a regular file whole. NotRegular, with a reason, for anything else
// (FIFO, device, directory, socket), found before opening it in a way that
// could block; Unreadable, with the system's reason, when it cannot be
// opened or read; TooLarge, without reading past the bound, for a file of
// more than max_bytes; Cancelled when Ctrl-C arrives meanwhile.
ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error);

// A read-only copy of bytes in a private temporary directory, for handing to
// the library by name; RemovePrivateCopy takes it away again.
bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error);
void RemovePrivateCopy(const std::string &path);

}  // namespace kormelt::tool
