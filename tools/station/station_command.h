// `kormelt station`: update every adapter on the rack at once. The station
// runs a worker process per port and reads them with poll(), on Linux only;
// elsewhere the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kormelt/subcommand.h"

namespace kormelt::station {

// Adds the subcommand and its options to app.
tool::Subcommand AddStationCommand(CLI::App &app);

}  // namespace kormelt::station
