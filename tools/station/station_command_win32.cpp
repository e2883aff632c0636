#include "tools/station/station_command.h"

namespace kormelt::station {

tool::Subcommand AddStationCommand(CLI::App &app) {
    return tool::UnavailableSubcommand(app, "station",
                                       "Update every adapter on the rack at once (not available on Windows)",
                                       "station is not available on Windows: it runs on Linux, where each adapter "
                                       "is found with its USB identity.");
}

}  // namespace kormelt::station
