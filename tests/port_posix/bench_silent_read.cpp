// Wall and processor time of one PortReadByte on a silent line for the
// reply timeout: the wait should cost next to no processor time.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "link/frame.h"
#include "link/serial_port.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

namespace {

constexpr uint32_t BENCH_PORT = 1;

int64_t CpuUs() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        std::perror("getrusage");
        std::exit(1);
    }
    auto us = [](const timeval &t) { return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec; };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

}  // namespace

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        std::perror("pseudo-terminal");
        return 1;
    }
    if (setenv("KORMELT_COM1", ptsname(master), 1) != 0) {
        std::perror("setenv");
        return 1;
    }
    kormelt::PortRecord *port = nullptr;
    const int32_t opened = kormelt::PortOpen(&port, BENCH_PORT);
    if (opened != STATUS_OK) {
        std::fprintf(stderr, "PortOpen: %d\n", static_cast<int>(opened));
        return 1;
    }

    const int64_t cpu_before = CpuUs();
    const auto wall_before = std::chrono::steady_clock::now();
    uint8_t byte = 0;
    const int32_t status = kormelt::PortReadByte(port, &byte, kormelt::REPLY_TIMEOUT_MS);
    const auto wall_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - wall_before)
                             .count();
    const int64_t cpu_us = CpuUs() - cpu_before;

    std::printf("silent PortReadByte(%u ms): status %d, wall %.1f ms, cpu %.3f ms\n",
                static_cast<unsigned>(kormelt::REPLY_TIMEOUT_MS), static_cast<int>(status),
                static_cast<double>(wall_us) / 1000.0, static_cast<double>(cpu_us) / 1000.0);
    if (kormelt::PortClose(port) != STATUS_OK) {
        std::fprintf(stderr, "PortClose failed\n");
        return 1;
    }
    (void)close(master);  // the process ends here; nothing waits on the pty
    return status == STATUS_TIMEOUT ? 0 : 1;
}
