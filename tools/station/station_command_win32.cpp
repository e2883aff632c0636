#include <cstdio>

#include "tools/kormelt/exit_codes.h"
#include "tools/station/station_command.h"

namespace kormelt::station {

struct StationCommand::Settings {};

StationCommand::StationCommand(CLI::App &app) {
    command_ = app.add_subcommand("station", "Update every adapter on the rack at once (not available on Windows)");
    command_->allow_extras();  // whatever the options, the answer is the same
}

StationCommand::~StationCommand() = default;

int StationCommand::Run() {
    std::fprintf(stderr, "kormelt: station is not available on Windows: it runs on Linux, where each adapter is "
                         "found with its USB identity.\n");
    return tool::EXIT_USAGE;
}

}  // namespace kormelt::station
