// kormelt-bench [a] [b] [w] [d] [r] [c] [e]: prints the figures of the library
// against the line-rate limit: a, b (Linux), d, r, c and e unless parts are
// named; d is b behind an adapter's latency timer of 16 ms and of 1 ms; r is
// b over rfc2217 through ser2net on the loopback (left out, saying so, where
// ser2net is not installed); e is
// a station run against 1, 4, 8 and 16 paced simulators; w is b for
// a Windows DLL under Wine, which needs KORMELT_BENCH_WIN_BUILD (its build
// directory), KORMELT_BENCH_WIN_NAME (what the figure is called), the
// matching loader in KORMELT_WINE and a prepared Wine prefix. scripts/bench.sh runs it all, the Linux parts before
// Wine starts so that Wine's idle processes do not disturb them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "tests/support/run_program.h"

namespace bench {

// Thrown, so that the simulator and the files of the part that failed are
// cleaned up on the way out.
void Fail(const std::string &what) { throw std::runtime_error(what); }

}  // namespace bench

namespace {

// The processor's model as the system names it: the figures depend on it.
std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        const size_t colon = line.find(':');
        if (line.rfind("model name", 0) == 0 && colon != std::string::npos) {
            return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "unknown processor";
}

std::string Env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

void PrintExchange(const std::string &tmp) {
    const bench::ExchangeFigures a = bench::RunExchangeBenchmark(tmp);
    std::printf("a. one 133-byte upload exchange against the unpaced simulator over a pty (medians)\n");
    std::printf("   library (KORMELT_Programm)  %7.1f us\n", a.library_s * 1e6);
    std::printf("   reference blocking loop     %7.1f us\n", a.reference_s * 1e6);
    std::printf("   library / reference         %7.2f     (target <= 1.2)\n\n", a.ratio);
}

bench::HostSetup NativeHost(const std::string &tmp) {
    bench::HostSetup native;
    native.host = KORMELT_HOST_PATH;
    native.library = KORMELT_LIBRARY_PATH;
    native.com3_link = tmp + "/kormelt-bench-com3";
    native.to_host_path = [](const std::string &path) { return path; };
    return native;
}

bench::HostSetup WineHost(const std::string &build) {
    bench::HostSetup wine;
    wine.launcher = {Env("KORMELT_WINE")};
    wine.host = build + "/tests/e2e_host/kormelt-test-host.exe";
    wine.library = WinePath(build + "/device/KORMELT.dll");
    wine.com3_link = Env("KORMELT_WINE_COM3");
    wine.to_host_path = WinePath;
    return wine;
}

void PrintUpdates(const std::string &tmp, const char *name, const bench::HostSetup &host, const char *targets) {
    std::printf("b. erase + 64 KiB upload + restart, %s\n", name);
    const bench::UpdateFigures f = bench::RunUpdateBenchmark(tmp, host, true, 0);
    std::printf("   simulator paced at 19200 baud 8N1: wall %6.2f s  bound %6.2f s  efficiency %5.3f  "
                "host CPU %5.2f %% of wall%s\n",
                f.wall_s, f.bound_s, f.bound_s / f.wall_s, 100 * f.cpu_s / f.wall_s, targets);
    const bench::UpdateFigures u = bench::RunUpdateBenchmark(tmp, host, false, 0);
    std::printf("   unpaced simulator:                 wall %6.2f s  host CPU %5.2f s\n\n", u.wall_s, u.cpu_s);
}

// Every exchange waits for its reply before the next request, so each
// reply that an adapter holds adds its latency to the update.
void PrintLatency(const std::string &tmp, const bench::HostSetup &host) {
    // The default of common USB serial adapters, and the low setting their
    // drivers offer.
    constexpr uint32_t LATENCIES_MS[] = {16, 1};
    std::printf("d. erase + 64 KiB upload + restart, Linux libKORMELT.so, simulator paced at 19200 baud 8N1 behind "
                "an adapter's latency timer\n");
    for (const uint32_t latency_ms : LATENCIES_MS) {
        const bench::UpdateFigures f = bench::RunUpdateBenchmark(tmp, host, true, latency_ms);
        std::printf("   latency %2u ms: wall %6.2f s  bound %6.2f s  wall / bound %5.3f\n", latency_ms, f.wall_s,
                    f.bound_s, f.wall_s / f.bound_s);
    }
    std::printf("\n");
}

void PrintCrc(const std::string &tmp) {
    const bench::CrcFigures c = bench::RunCrcBenchmark(tmp);
    std::printf("c. image check, %.0f MiB from the page cache\n", c.mib);
    std::printf("   KORMELT_CheckCRC   %8.1f MiB/s\n", c.mib / c.library_s);
    std::printf("   Boost crc_optimal  %8.1f MiB/s\n", c.mib / c.boost_s);
    std::printf("   library / Boost    %8.2f   (target >= 1.5)\n", c.boost_s / c.library_s);
}

void PrintStation(const std::string &tmp) {
    const std::vector<bench::StationFigures> runs = bench::RunStationBenchmark(tmp, {1, 4, 8, 16});
    std::printf("d. kormelt station, 8 KiB image to N simulated devices paced at 19200 baud, one run each\n");
    for (const bench::StationFigures &f : runs) {
        std::printf("   N = %2zu  wall %6.2f s  wall(1)/wall(N) %5.3f  station CPU per device %6.1f ms  "
                    "workers' CPU per device %6.1f ms\n",
                    f.devices, f.wall_s, runs.front().wall_s / f.wall_s, 1e3 * f.station_cpu_s / f.devices,
                    1e3 * f.workers_cpu_s / f.devices);
    }
    std::printf("   (target wall(1)/wall(16) >= 0.95)\n");
}

// The library reaches the paced simulator through a serial server on the
// loopback: what the network path adds to the wire time.
void PrintRemote(const std::string &tmp, const bench::HostSetup &host) {
    std::printf("r. erase + 64 KiB upload + restart, Linux libKORMELT.so over rfc2217:// on the loopback, ser2net in "
                "front of the simulator paced at 19200 baud 8N1\n");
    if (std::system("command -v ser2net > /dev/null 2>&1") != 0) {
        std::printf("   left out: ser2net is not installed\n\n");
        return;
    }
    for (const bool chardelay : {true, false}) {
        const bench::UpdateFigures f = bench::RunRemoteUpdateBenchmark(tmp, host, chardelay);
        std::printf("   ser2net chardelay %-5s wall %6.2f s  bound %6.2f s  efficiency %5.3f  wall / bound %5.3f  "
                    "host CPU %5.2f %% of wall\n",
                    chardelay ? "on:" : "off:", f.wall_s, f.bound_s, f.bound_s / f.wall_s, f.wall_s / f.bound_s,
                    100 * f.cpu_s / f.wall_s);
    }
    std::printf("\n");
}

}  // namespace

namespace {
int Run(int argc, char **argv) {
    const std::string tmp = Env("TMPDIR").empty() ? "/tmp" : Env("TMPDIR");
    std::string parts;
    for (int i = 1; i < argc; ++i) {
        parts += argv[i];
    }
    const auto wanted = [&](char part) {
        return parts.find(part) != std::string::npos || (parts.empty() && part != 'w');
    };
    std::printf("machine: %u cores, %s\n\n", std::thread::hardware_concurrency(), CpuModel().c_str());
    if (wanted('a')) {
        PrintExchange(tmp);
    }
    if (wanted('b')) {
        PrintUpdates(tmp, "Linux libKORMELT.so", NativeHost(tmp), "  (targets >= 0.99, <= 2 %)");
    }
    if (wanted('w')) {
        const std::string build = Env("KORMELT_BENCH_WIN_BUILD");
        const std::string name = Env("KORMELT_BENCH_WIN_NAME");
        if (build.empty() || name.empty() || Env("KORMELT_WINE").empty()) {
            bench::Fail("w needs KORMELT_BENCH_WIN_BUILD, KORMELT_BENCH_WIN_NAME, KORMELT_WINE and a Wine prefix "
                        "(scripts/bench.sh)");
        }
        PrintUpdates(tmp, name.c_str(), WineHost(build), "  (Sleep(0) polling)");
    }
    if (wanted('d')) {
        PrintLatency(tmp, NativeHost(tmp));
    }
    if (wanted('r')) {
        PrintRemote(tmp, NativeHost(tmp));
    }
    if (wanted('c')) {
        PrintCrc(tmp);
    }
    if (wanted('e')) {
        if (wanted('c')) {
            std::printf("\n");
        }
        PrintStation(tmp);
    }
    return 0;
}
}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kormelt-bench: %s\n", e.what());
        return 1;
    }
}
