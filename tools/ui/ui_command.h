// `kormelt ui`: the station as a local web page, on Linux only; elsewhere
// the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kormelt/subcommand.h"

namespace kormelt::ui {

// Adds the subcommand and its options to app.
tool::Subcommand AddUiCommand(CLI::App &app);

}  // namespace kormelt::ui
