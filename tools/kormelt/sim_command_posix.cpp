#include <cstdio>
#include <string>

#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/sim_command.h"
#include "tools/sim/foreground.h"
#include "tools/sim/sim_cli.h"

namespace kormelt::tool {

namespace {

CLI::App *AddSimOptions(CLI::App &app, sim::Options &options) {
    CLI::App *command = app.add_subcommand(
        "sim", "Run the device simulator on a pseudo-terminal until Ctrl-C, for trying the tool without a device");
    sim::AddSimulatorOptions(*command, options);
    return command;
}

int RunSim(const CLI::App &, const sim::Options &options) {
    const std::string &dump = options.dump_path;
    sim::ForegroundSay say;
    // The path alone on the first line of stdout is for scripts; the rest is
    // for people and goes to stderr.
    say.started = [&dump](const sim::Simulator &simulator) {
        const char *path = simulator.slave_path().c_str();
        std::fprintf(stderr,
                     "kormelt: simulated device on %s\n"
                     "kormelt: flash it with: kormelt flash --port %s IMAGE\n"
                     "kormelt: Ctrl-C stops the simulator%s\n",
                     path, path, dump.empty() ? "" : (" and writes what was programmed to " + dump).c_str());
    };
    say.stopped = [&dump](const sim::Simulator &simulator) {
        if (!dump.empty()) {
            std::fprintf(stderr, "kormelt: %zu programmed bytes written to %s\n", simulator.flash().image.size(),
                         dump.c_str());
        }
    };
    std::string error;
    switch (sim::RunInForeground(options, say, &error)) {
    case sim::ForegroundEnd::Stopped:
        return EXIT_OK;
    case sim::ForegroundEnd::CannotStart:
        std::fprintf(stderr, "kormelt: the simulator cannot start: %s\n", error.c_str());
        return EXIT_SYSTEM;
    case sim::ForegroundEnd::Failed:
        std::fprintf(stderr, "kormelt: the simulator stopped: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    return EXIT_SYSTEM;
}

}  // namespace

Subcommand AddSimCommand(CLI::App &app) { return MakeSubcommand(app, AddSimOptions, RunSim); }

}  // namespace kormelt::tool
