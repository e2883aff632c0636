// The tool's subcommands that need Linux: on Windows each says what to do
// instead.
#include "tools/kormelt/doctor_command.h"
#include "tools/kormelt/searched_ports.h"
#include "tools/kormelt/sim_command.h"

namespace kormelt::tool {

Subcommand AddDoctorCommand(CLI::App &app) {
    return UnavailableSubcommand(app, "doctor", "Check what keeps the device from being found (Linux only)",
                                 "doctor is not available on Windows; Device Manager shows the adapter and its COM "
                                 "number, and 'kormelt ports' which of " SEARCHED_PORTS " exist and are free.");
}

Subcommand AddSimCommand(CLI::App &app) {
    return UnavailableSubcommand(app, "sim", "Run the device simulator (Linux only)",
                                 "the simulator serves a pseudo-terminal and runs on Linux only; on Windows, "
                                 "flash a real device on " SEARCHED_PORTS ".");
}

}  // namespace kormelt::tool
