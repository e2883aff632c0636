// The device behind COMn on each platform. Header-only, so that a host
// program such as the tool names ports exactly as the library does without
// linking any of it.
#pragma once

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kormelt {

// POSIX: COMn is the path in the environment variable KORMELT_COM<n> when
// that is set and not empty, else /dev/ttyS<n-1>.
constexpr char PORT_NAME_VARIABLE[] = "KORMELT_COM";  // followed by n
constexpr char PORT_NAME_FALLBACK[] = "/dev/ttyS";    // followed by n - 1
constexpr size_t PORT_VARIABLE_CAPACITY = sizeof PORT_NAME_VARIABLE + 10;  // any uint32_t
// Long enough for any path the kernel opens (PATH_MAX on Linux, the final
// zero included); a longer name cannot be a device.
constexpr size_t POSIX_PORT_NAME_CAPACITY = 4096;  // bytes
// A path that is no port on any POSIX system: /dev/null is no directory, so
// opening it fails at once. Ports that must lead nowhere are set to it.
constexpr char NO_PORT_PATH[] = "/dev/null/no-port";

// Windows: "\\.\COM" and n. The device namespace form is the only one that
// reaches COM10 and above; it is used for every port so that all numbers
// take the same path.
constexpr char WIN32_PORT_NAME_PREFIX[] = "\\\\.\\COM";
constexpr size_t WIN32_PORT_NAME_CAPACITY = 128;  // characters, terminator included

// "KORMELT_COM<n>".
inline void PortVariableName(uint32_t n, char (&variable)[PORT_VARIABLE_CAPACITY]) {
    // Cannot be cut short: the capacity holds the prefix and any uint32_t.
    (void)std::snprintf(variable, sizeof variable, "%s%" PRIu32, PORT_NAME_VARIABLE, n);
}

// The path COMn's variable holds, or null when it is unset or empty.
inline const char *PortVariableValue(uint32_t n) {
    char variable[PORT_VARIABLE_CAPACITY];
    PortVariableName(n, variable);
    const char *value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// COMn's device on POSIX systems, into name. False when it does not fit
// capacity bytes, terminator included.
inline bool PosixPortName(uint32_t n, char *name, size_t capacity) {
    const char *path = PortVariableValue(n);
    const int length = path != nullptr ? std::snprintf(name, capacity, "%s", path)
                                       : std::snprintf(name, capacity, "%s%" PRIu32, PORT_NAME_FALLBACK, n - 1);
    return length > 0 && static_cast<size_t>(length) < capacity;
}

// COMn's device on Windows: n in decimal without leading zeros after the
// prefix. Every port number fits.
inline void Win32PortName(uint32_t n, char (&name)[WIN32_PORT_NAME_CAPACITY]) {
    constexpr size_t prefix_length = sizeof WIN32_PORT_NAME_PREFIX - 1;
    std::memcpy(name, WIN32_PORT_NAME_PREFIX, prefix_length);
    char digits[10];  // a 32-bit number has at most ten
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    size_t pos = prefix_length;
    while (count > 0) {
        name[pos++] = digits[--count];
    }
    name[pos] = '\0';
}

}  // namespace kormelt
