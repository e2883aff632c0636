#include <cstdio>

#include "tools/kormelt/exit_codes.h"
#include "tools/ui/ui_command.h"

namespace kormelt::ui {

struct UiCommand::Settings {};

UiCommand::UiCommand(CLI::App &app) {
    command_ = app.add_subcommand("ui", "The station as a web page on this machine (not available on Windows)");
    command_->allow_extras();  // whatever the options, the answer is the same
}

UiCommand::~UiCommand() = default;

int UiCommand::Run() {
    std::fprintf(stderr, "kormelt: ui is not available on Windows: it runs the station, which runs on Linux, where "
                         "each adapter is found with its USB identity.\n");
    return tool::EXIT_USAGE;
}

}  // namespace kormelt::ui
