#include <csignal>
#include <cstdio>
#include <string>

#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/sim_command.h"
#include "tools/sim/sim_cli.h"
#include "tools/sim/simulator.h"

namespace kormelt::tool {
namespace {

sim::Simulator *g_simulator = nullptr;

extern "C" void OnStopSignal(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestStop();
    }
}

extern "C" void OnDumpSignal(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestDump();
    }
}

bool Install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    return sigemptyset(&action.sa_mask) == 0 && sigaction(signal_number, &action, nullptr) == 0;
}

}  // namespace

struct SimCommand::Settings {
    sim::Options options;
};

SimCommand::SimCommand(CLI::App &app) : settings_(std::make_unique<Settings>()) {
    command_ = app.add_subcommand(
        "sim", "Run the device simulator on a pseudo-terminal until Ctrl-C, for trying the tool without a device");
    sim::AddSimulatorOptions(*command_, settings_->options);
}

SimCommand::~SimCommand() = default;

int SimCommand::Run() {
    sim::Simulator simulator(settings_->options);
    g_simulator = &simulator;
    // Handlers before the path is shown: whoever reads it may signal at once.
    if (!Install(SIGINT, OnStopSignal) || !Install(SIGTERM, OnStopSignal) || !Install(SIGUSR1, OnDumpSignal)) {
        std::perror("kormelt: cannot install the signal handlers");
        g_simulator = nullptr;
        return EXIT_SYSTEM;
    }
    std::string error;
    if (!simulator.Open(&error)) {
        std::fprintf(stderr, "kormelt: the simulator cannot start: %s\n", error.c_str());
        g_simulator = nullptr;
        return EXIT_SYSTEM;
    }
    // The path alone on the first line of stdout, for scripts; the rest is
    // for people and goes to stderr.
    PrintOut(simulator.slave_path() + "\n");
    const std::string &dump = settings_->options.dump_path;
    std::fprintf(stderr,
                 "kormelt: simulated device on %s\n"
                 "kormelt: flash it with: kormelt flash --port %s IMAGE\n"
                 "kormelt: Ctrl-C stops the simulator%s\n",
                 simulator.slave_path().c_str(), simulator.slave_path().c_str(),
                 dump.empty() ? "" : (" and writes what was programmed to " + dump).c_str());
    const bool ok = simulator.Run(&error);
    if (!ok) {
        std::fprintf(stderr, "kormelt: the simulator stopped: %s\n", error.c_str());
    } else if (!dump.empty()) {
        std::fprintf(stderr, "kormelt: %zu programmed bytes written to %s\n", simulator.flash().image.size(),
                     dump.c_str());
    }
    simulator.Close();
    g_simulator = nullptr;
    return ok ? EXIT_OK : EXIT_SYSTEM;
}

}  // namespace kormelt::tool
