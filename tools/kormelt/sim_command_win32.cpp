#include <cstdio>

#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/searched_ports.h"
#include "tools/kormelt/sim_command.h"

namespace kormelt::tool {

struct SimCommand::Settings {};

SimCommand::SimCommand(CLI::App &app) {
    command_ = app.add_subcommand("sim", "Run the device simulator (Linux only)");
    // Whatever follows belongs to the simulator's options; there are none here.
    command_->allow_extras();
}

SimCommand::~SimCommand() = default;

int SimCommand::Run() {
    std::fprintf(stderr,
                 "kormelt: the simulator serves a pseudo-terminal and runs on Linux only; on Windows, "
                 "flash a real device on " SEARCHED_PORTS ".\n");
    return EXIT_USAGE;
}

}  // namespace kormelt::tool
