// `kormelt records`: the updates recorded, as a table, JSON lines or CSV.
// The records are kept with SQLite on Linux only; elsewhere the subcommand
// says so.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kormelt/subcommand.h"

namespace kormelt::records {

// Adds the subcommand and its options to app.
tool::Subcommand AddRecordsCommand(CLI::App &app);

}  // namespace kormelt::records
