// The --records option that flash, station and records share, and the file
// it names when it is left out.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kormelt::records {

// --records FILE, with help that names the default.
CLI::Option *AddRecordsOption(CLI::App &command, std::string *path, const std::string &what);

// The file to use: the option's value, else the default; empty with a
// reason when there is none.
std::string RecordsPath(const std::string &option, std::string *error);

}  // namespace kormelt::records
