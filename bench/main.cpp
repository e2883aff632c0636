// kormelt-bench [a] [b] [c]: prints the figures of the library against the
// line-rate limit, all three parts unless some are named. Run through
// scripts/bench.sh, which also prepares Wine for the Windows DLL's part of b;
// without KORMELT_BENCH_WIN64_BUILD that part is skipped.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench.h"

namespace bench {

void Fail(const std::string &what) {
    std::fprintf(stderr, "kormelt-bench: %s\n", what.c_str());
    std::exit(1);
}

}  // namespace bench

namespace {

std::string Env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

void PrintUpdate(const char *what, const bench::UpdateFigures &f, const char *cpu_target) {
    std::printf("   %-22s wall %6.2f s  bound %6.2f s  efficiency %5.3f  host CPU %5.2f %% of wall%s\n", what,
                f.wall_s, f.bound_s, f.bound_s / f.wall_s, 100 * f.cpu_s / f.wall_s, cpu_target);
}

}  // namespace

int main(int argc, char **argv) {
    const std::string tmp = Env("TMPDIR").empty() ? "/tmp" : Env("TMPDIR");
    std::string parts;
    for (int i = 1; i < argc; ++i) {
        parts += argv[i];
    }
    const auto wanted = [&](char part) { return parts.empty() || parts.find(part) != std::string::npos; };

    if (wanted('a')) {
    const bench::ExchangeFigures a = bench::RunExchangeBenchmark(tmp);
    std::printf("a. one 133-byte upload exchange against the unpaced simulator over a pty\n");
    std::printf("   library (KORMELT_Programm)  %7.1f us\n", a.library_s * 1e6);
    std::printf("   reference blocking loop     %7.1f us\n", a.reference_s * 1e6);
    std::printf("   library / reference         %7.2f     (target <= 1.2)\n\n", a.library_s / a.reference_s);
    }
    if (wanted('b')) {

    std::printf("b. erase + 64 KiB upload + restart, simulator paced at 19200 baud 8N1\n");
    bench::HostSetup native;
    native.host = KORMELT_HOST_PATH;
    native.library = KORMELT_LIBRARY_PATH;
    native.com3_link = tmp + "/kormelt-bench-com3";
    native.to_host_path = [](const std::string &path) { return path; };
    PrintUpdate("Linux libKORMELT.so", bench::RunUpdateBenchmark(tmp, native), "  (targets >= 0.99, <= 2 %)");

    const std::string win64 = Env("KORMELT_BENCH_WIN64_BUILD");
    if (!win64.empty()) {
        bench::HostSetup wine;
        const auto to_wine = [](const std::string &path) {
            std::string out = "Z:" + path;
            for (char &c : out) {
                c = c == '/' ? '\\' : c;
            }
            return out;
        };
        wine.launcher = {Env("KORMELT_WINE")};
        wine.host = win64 + "/tests/e2e_host/kormelt-test-host.exe";
        wine.library = to_wine(win64 + "/device/KORMELT.dll");
        wine.com3_link = Env("KORMELT_WINE_COM3");
        wine.to_host_path = to_wine;
        PrintUpdate("Win32 DLL under Wine", bench::RunUpdateBenchmark(tmp, wine), "  (Sleep(0) polling)");
    } else {
        std::printf("   Win32 DLL under Wine   skipped (KORMELT_BENCH_WIN64_BUILD not set)\n");
    }
    std::printf("\n");
    }
    if (wanted('c')) {
    const bench::CrcFigures c = bench::RunCrcBenchmark(tmp);
    std::printf("c. image check, %.0f MiB from the page cache\n", c.mib);
    std::printf("   KORMELT_CheckCRC   %8.1f MiB/s\n", c.mib / c.library_s);
    std::printf("   Boost crc_optimal  %8.1f MiB/s\n", c.mib / c.boost_s);
    std::printf("   library / Boost    %8.2f   (target >= 1.0)\n", c.boost_s / c.library_s);
    }
    return 0;
}
