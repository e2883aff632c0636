// kormelt-sim: the device on a pseudo-terminal. The first line on stdout is
// the path the host opens; nothing else goes to stdout.
#include <csignal>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/sim/sim_cli.h"
#include "tools/sim/simulator.h"

namespace {

constexpr int EXIT_OPEN_FAILED = 2;
constexpr int EXIT_RUN_FAILED = 3;

kormelt::sim::Simulator *g_simulator = nullptr;

void OnStop(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestStop();
    }
}

void OnDump(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestDump();
    }
}

bool Install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    if (sigemptyset(&action.sa_mask) != 0) {
        return false;
    }
    return sigaction(signal_number, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Device simulator on a pseudo-terminal: answers identify, erase, program and restart "
                 "requests, models the flash, and misbehaves on request.\n"
                 "Prints the slave path to open on the first line of stdout.",
                 "kormelt-sim"};
    kormelt::sim::Options options;
    kormelt::sim::AddSimulatorOptions(app, options);
    CLI11_PARSE(app, argc, argv);

    kormelt::sim::Simulator simulator(options);
    g_simulator = &simulator;
    // Handlers before the path line: whoever reads it may signal at once.
    if (!Install(SIGINT, OnStop) || !Install(SIGTERM, OnStop) || !Install(SIGUSR1, OnDump)) {
        std::perror("kormelt-sim: sigaction");
        return EXIT_OPEN_FAILED;
    }
    std::string error;
    if (!simulator.Open(&error)) {
        std::fprintf(stderr, "kormelt-sim: %s\n", error.c_str());
        return EXIT_OPEN_FAILED;
    }
    if (std::printf("%s\n", simulator.slave_path().c_str()) < 0 || std::fflush(stdout) != 0) {
        std::perror("kormelt-sim: stdout");
        return EXIT_OPEN_FAILED;
    }
    const bool ok = simulator.Run(&error);
    if (!ok) {
        std::fprintf(stderr, "kormelt-sim: %s\n", error.c_str());
    }
    simulator.Close();
    g_simulator = nullptr;
    return ok ? 0 : EXIT_RUN_FAILED;
}
