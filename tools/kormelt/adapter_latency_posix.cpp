#include "tools/kormelt/adapter_latency.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tools/common/directory_posix.h"
#include "tools/kormelt/kernel_paths.h"
#include "tools/kormelt/port_scan.h"

namespace kormelt::tool {
namespace {

constexpr unsigned long long LEAST_LATENCY_MS = 1;  // the adapters' timers count from 1 ms
constexpr size_t ATTRIBUTE_TEXT_MAX = 16;  // bytes of a timer's milliseconds or a device number

// The text of a small file without its line end, or "" when it cannot be
// read.
std::string ReadLine(const std::string &path) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line) || line.size() > ATTRIBUTE_TEXT_MAX) {
        return "";
    }
    return line;
}

// The milliseconds text holds, or false when it is no plain number.
bool Milliseconds(const std::string &text, unsigned long long *ms) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    *ms = std::strtoull(text.c_str(), nullptr, 10);  // at most ATTRIBUTE_TEXT_MAX digits: no overflow
    return true;
}

// Writes text and a line end over what the file holds, as a shell's echo
// does. Never creates the file: a timer that is gone stays gone.
bool WriteTimer(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return false;  // no leave to write it, or the adapter is gone
    }
    const std::string line = text + "\n";
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    // sysfs takes the value in the write; close only lets go of the file.
    const bool closed = close(fd) == 0;
    return written && closed;
}

// The tty name of the USB serial port whose device number device has, or
// "" when none has it (a UART, a pseudo-terminal, no device at all).
std::string UsbSerialName(const std::string &prefix, const std::string &device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return "";
    }
    const std::string number = std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    std::vector<std::string> names;
    DirectoryNames(prefix + USB_SERIAL_DIR, &names);  // no USB serial driver loaded, or no sysfs: no adapter
    for (const std::string &name : names) {
        if (ReadLine(prefix + TTY_CLASS_DIR + "/" + name + "/dev") == number) {
            return name;
        }
    }
    return "";
}

}  // namespace

void AdapterLatency::Lower(const std::string &device) {
    Restore();
    const std::string prefix = RootPrefix(ScanRoot());
    const std::string name = UsbSerialName(prefix, device);
    if (name.empty()) {
        return;
    }
    const std::string timer = prefix + USB_SERIAL_DIR + "/" + name + "/" + LATENCY_TIMER;
    const std::string found = ReadLine(timer);
    // A driver without the timer has no file; one already at its least
    // needs nothing; a value that is no number of milliseconds is not ours
    // to replace.
    unsigned long long found_ms = 0;
    if (!Milliseconds(found, &found_ms) || found_ms <= LEAST_LATENCY_MS) {
        return;
    }
    if (WriteTimer(timer, std::to_string(LEAST_LATENCY_MS))) {
        timer_ = timer;
        found_ = found;
    }
}

void AdapterLatency::Restore() {
    if (timer_.empty()) {
        return;
    }
    // Not examined: an adapter unplugged meanwhile took its timer with it
    // and starts at its driver's value when it comes back, and one that
    // refuses keeps the lower value, which costs it nothing but USB traffic.
    (void)WriteTimer(timer_, found_);
    timer_.clear();
    found_.clear();
}

}  // namespace kormelt::tool
