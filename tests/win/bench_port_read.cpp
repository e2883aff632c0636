// What a PortReadByte that runs into its timeout costs: wall time, CPU time
// of this process and the number of polls, on COM3 with a silent line behind
// it. Prints the figures; asserts nothing about them.
#include <windows.h>

#include <cstdio>

#include "link/frame.h"
#include "link/serial_port.h"
#include "link/serial_port_win32.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

namespace {

constexpr uint32_t SILENT_PORT = 3;

unsigned long long read_calls = 0;

// The real ReadFile, counted: one call per poll.
BOOL WINAPI CountedReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED overlapped) {
    ++read_calls;
    return kormelt::WIN32_REAL_CALLS.ReadFile(handle, buffer, length, count, overlapped);
}

double FileTimeMs(const FILETIME &time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;  // 100 ns units
}

bool ProcessCpuMs(double *user_ms, double *kernel_ms) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return false;
    }
    *user_ms = FileTimeMs(user);
    *kernel_ms = FileTimeMs(kernel);
    return true;
}

}  // namespace

int main() {
    kormelt::PortRecord *port = nullptr;
    const int32_t opened = kormelt::PortOpen(&port, SILENT_PORT);
    if (opened != STATUS_OK) {
        std::printf("cannot open COM%u: status %d\n", static_cast<unsigned>(SILENT_PORT), static_cast<int>(opened));
        return 2;
    }
    kormelt::Win32Call.ReadFile = CountedReadFile;

    LARGE_INTEGER frequency, start, stop;
    double user_before = 0, kernel_before = 0, user_after = 0, kernel_after = 0;
    // Both queries cannot fail on the systems this runs on; checked anyway
    // so a broken figure is never printed as a real one.
    if (!QueryPerformanceFrequency(&frequency) || !ProcessCpuMs(&user_before, &kernel_before) ||
        !QueryPerformanceCounter(&start)) {
        std::printf("cannot read the clocks\n");
        return 2;
    }
    uint8_t received = 0;
    const int32_t status = kormelt::PortReadByte(port, &received, kormelt::REPLY_TIMEOUT_MS);
    if (!QueryPerformanceCounter(&stop) || !ProcessCpuMs(&user_after, &kernel_after)) {
        std::printf("cannot read the clocks\n");
        return 2;
    }
    kormelt::Win32Call = kormelt::WIN32_REAL_CALLS;
    kormelt::PortClose(port);

    const double wall_ms =
        static_cast<double>(stop.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    const double user_ms = user_after - user_before;
    const double kernel_ms = kernel_after - kernel_before;
    std::printf("PortReadByte, %u ms timeout, silent line: status %d\n",
                static_cast<unsigned>(kormelt::REPLY_TIMEOUT_MS), static_cast<int>(status));
    std::printf("  wall %.1f ms\n", wall_ms);
    std::printf("  CPU  %.1f ms user + %.1f ms kernel = %.1f%% of one core\n", user_ms, kernel_ms,
                wall_ms > 0 ? (user_ms + kernel_ms) * 100.0 / wall_ms : 0.0);
    std::printf("  polls %llu (%.0f per second)\n", read_calls,
                wall_ms > 0 ? static_cast<double>(read_calls) * 1000.0 / wall_ms : 0.0);
    return status == STATUS_TIMEOUT ? 0 : 1;
}
