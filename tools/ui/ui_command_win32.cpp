#include "tools/ui/ui_command.h"

namespace kormelt::ui {

tool::Subcommand AddUiCommand(CLI::App &app) {
    return tool::UnavailableSubcommand(app, "ui", "The station as a web page on this machine (not available on Windows)",
                                       "ui is not available on Windows: it runs the station, which runs on Linux, "
                                       "where each adapter is found with its USB identity.");
}

}  // namespace kormelt::ui
