#include <cstdio>

#include "tools/kormelt/doctor_command.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/searched_ports.h"

namespace kormelt::tool {

struct DoctorCommand::Settings {};

DoctorCommand::DoctorCommand(CLI::App &app) {
    command_ = app.add_subcommand("doctor", "Check what keeps the device from being found (Linux only)");
    // Whatever follows belongs to the Linux options; there are none here.
    command_->allow_extras();
}

DoctorCommand::~DoctorCommand() = default;

int DoctorCommand::Run() {
    std::fprintf(stderr,
                 "kormelt: doctor is not available on Windows; Device Manager shows the adapter and its COM "
                 "number, and 'kormelt ports' which of " SEARCHED_PORTS " exist and are free.\n");
    return EXIT_USAGE;
}

}  // namespace kormelt::tool
