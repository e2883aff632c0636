// `kormelt sim`: the device simulator in the foreground. It serves a
// pseudo-terminal, so only POSIX systems have it; elsewhere the subcommand
// says so.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kormelt/subcommand.h"

namespace kormelt::tool {

// Adds the subcommand and its options to app.
Subcommand AddSimCommand(CLI::App &app);

}  // namespace kormelt::tool
