// `kormelt station`: update every adapter on the rack at once. The station
// runs a worker process per port and reads them with poll(), on Linux only;
// elsewhere the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/kormelt/subcommand.h"

namespace kormelt::station {

// Adds the subcommand and its options to app.
tool::Subcommand AddStationCommand(CLI::App &app);

// --ports, --match and --jobs, which `kormelt ui` takes too (Linux).
void AddPortOptions(CLI::App &command, std::vector<std::string> *ports, std::vector<std::string> *match,
                    size_t *jobs);

}  // namespace kormelt::station
