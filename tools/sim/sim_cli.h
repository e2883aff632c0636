// The simulator's command-line options, shared by kormelt-sim and any tool
// that embeds the simulator as a subcommand.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/sim/simulator.h"

namespace kormelt::sim {

// Adds every simulator option to app, filling options when app parses, and a
// footer on how requests are numbered.
void AddSimulatorOptions(CLI::App &app, Options &options);

}  // namespace kormelt::sim
