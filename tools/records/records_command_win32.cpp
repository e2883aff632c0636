#include "tools/records/records_command.h"

namespace kormelt::records {

tool::Subcommand AddRecordsCommand(CLI::App &app) {
    return tool::UnavailableSubcommand(app, "records", "Show the updates recorded (not available on Windows)",
                                       "records are not available on Windows: they are kept by the station on Linux.");
}

}  // namespace kormelt::records
