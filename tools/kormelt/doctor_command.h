// `kormelt doctor`: checks of what stands between the tool and the device on
// Linux (the ports, their permissions and holders, services that take
// adapters, the console, latency timers) and a search as flash makes it.
// Elsewhere the subcommand says it is not available.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kormelt/subcommand.h"

namespace kormelt::tool {

// Adds the subcommand and its options to app.
Subcommand AddDoctorCommand(CLI::App &app);

}  // namespace kormelt::tool
