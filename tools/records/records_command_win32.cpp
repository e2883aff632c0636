#include <cstdio>

#include "tools/kormelt/exit_codes.h"
#include "tools/records/records_command.h"

namespace kormelt::records {

struct RecordsCommand::Settings {};

RecordsCommand::RecordsCommand(CLI::App &app) {
    command_ = app.add_subcommand("records", "Show the updates recorded (not available on Windows)");
    command_->allow_extras();  // whatever the options, the answer is the same
}

RecordsCommand::~RecordsCommand() = default;

int RecordsCommand::Run() {
    std::fprintf(stderr, "kormelt: records are not available on Windows: they are kept by the station on Linux.\n");
    return tool::EXIT_USAGE;
}

}  // namespace kormelt::records
