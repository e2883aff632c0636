// A host program for the end-to-end tests: loads the library by path, runs
// one firmware update and prints what each call returned.
//
// usage: kormelt-test-host LIBRARY IMAGE [--skip-check] [--no-open]
//                          [--cancel PHASE:PERCENT] [--time]
//
// Prints one line per call, "<call> <status>" followed by the progress
// reports it saw ("open 0 0,12,24"), stops at the first failing call (closing
// the port as a host must), and ends with "handles <before> <after>": what
// the process held open before the first call and after the last. With
// --time it also prints "timing <wall s> <cpu s>" of erase, upload and
// restart together.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e_host/host_platform.h"

namespace {

std::vector<int32_t> reports;
std::string cancel_phase;
std::string current_phase;
int32_t cancel_percent = -1;

int32_t KORMELT_CALL Progress(int32_t percent) {
    reports.push_back(percent);
    return current_phase == cancel_phase && percent == cancel_percent ? 1 : 0;
}

void Print(const char *call, int32_t status, bool with_progress) {
    std::string line = std::string(call) + " " + std::to_string(status);
    if (with_progress) {
        line += " ";
        for (size_t i = 0; i < reports.size(); ++i) {
            line += (i > 0 ? "," : "") + std::to_string(reports[i]);
        }
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Runs one call with progress reports, under the given phase name.
template <typename Call>
int32_t Step(const char *phase, Call call) {
    reports.clear();
    current_phase = phase;
    const int32_t status = call();
    Print(phase, status, true);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY IMAGE [--skip-check] [--no-open] [--cancel PHASE:PERCENT]\n",
                     argv[0]);
        return 2;
    }
    const std::string image = argv[2];
    bool skip_check = false;
    bool no_open = false;
    bool timed = false;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--skip-check") {
            skip_check = true;
        } else if (arg == "--time") {
            timed = true;
        } else if (arg == "--no-open") {
            no_open = true;
        } else if (arg == "--cancel" && i + 1 < argc) {
            const std::string cancel_arg = argv[++i];
            const size_t colon = cancel_arg.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "--cancel takes PHASE:PERCENT\n");
                return 2;
            }
            cancel_phase = cancel_arg.substr(0, colon);
            cancel_percent = std::atoi(cancel_arg.c_str() + colon + 1);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }

    KormeltLibrary lib{};
    std::string error;
    if (!LoadKormelt(argv[1], &lib, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 3;
    }
    const long before = OpenHandleCount();

    bool ok = true;
    if (!skip_check) {
        const int32_t status = lib.CheckCRC(image.c_str());
        Print("check", status, false);
        ok = status == KORMELT_STATUS_OK;
    }
    if (ok && !no_open) {
        ok = Step("open", [&] { return lib.Open(&Progress); }) == KORMELT_STATUS_OK;
    }
    if (ok || no_open) {
        const auto wall_start = std::chrono::steady_clock::now();
        const double cpu_start = ProcessCpuSeconds();
        const bool erased = Step("erase", [&] { return lib.Erase(&Progress); }) == KORMELT_STATUS_OK;
        const bool programmed =
            (erased || no_open) && Step("programm", [&] { return lib.Programm(image.c_str(), &Progress); }) == KORMELT_STATUS_OK;
        if (programmed || no_open) {
            Print("restart", lib.Restart(), false);
        }
        if (timed) {
            const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_start;
            std::printf("timing %.6f %.6f\n", wall.count(), ProcessCpuSeconds() - cpu_start);
        }
        Print("close", lib.Close(), false);
    }
    std::printf("handles %ld %ld\n", before, OpenHandleCount());
    return 0;
}
