#include <string>

#include "tools/kormelt/exit_codes.h"
#include "tools/records/records_option.h"
#include "tools/station/station.h"
#include "tools/station/station_command.h"

namespace kormelt::station {
namespace {

constexpr char STATION_HELP[] =
    "Reads the image once and checks it, then updates every USB and ACM adapter the scan finds at once\n"
    "(/dev/serial/by-id, /dev/ttyUSB*, /dev/ttyACM*; built-in UARTs only when named with --ports), each\n"
    "with the same private copy of the image, in a worker process of its own that runs the update\n"
    "'kormelt flash --port' runs. A device that fails leaves the others running. --match selects ports by\n"
    "a glob of their location (the USB interface, e.g. 1-1.2:1.0, which names the hub socket), USB\n"
    "serial number, VID:PID (0403:6001) or path; 'kormelt ports' shows them.\n"
    "\n"
    "On a terminal each port has a row, redrawn in place; otherwise plain lines are printed, or with\n"
    "--json one JSON object per line, each with the keys port, location and serial (null on lines\n"
    "about the run as a whole), ending with a summary line with the counts and each device's result.\n"
    "\n"
    "--watch keeps running and updates each adapter that appears (the scan is repeated twice a second),\n"
    "once: an adapter that stays plugged in is not updated again; unplugged and plugged in again, it is.\n"
    "\n"
    "Every update is a row in the records (see 'kormelt records --help'); a records file that cannot be\n"
    "opened or written stops the station before any device is touched. Ctrl-C, SIGTERM or SIGHUP cancels\n"
    "every update that runs (up to 3 s while a device is silent), records it and exits with 8. The\n"
    "workers never outlive the station: if it is killed, the kernel stops them.";

CLI::App *AddStationOptions(CLI::App &app, StationOptions &o) {
    CLI::App *command = tool::AddCommand(
        app, "station", "Update every adapter on the rack with one image at once (Linux)", STATION_HELP);
    command->add_option("IMAGE", o.image, "Image file: the firmware followed by its CRC")->required();
    AddPortOptions(*command, &o.ports, &o.match, &o.jobs);
    command->add_flag("--watch", o.watch, "Keep running and update each adapter that is plugged in");
    command->add_flag("--json", o.json, "Print one JSON object per line");
    records::AddRecordsOption(*command, &o.records, "Keep the records in this SQLite file");
    return command;
}

int RunStationCommand(const CLI::App &, const StationOptions &options) { return RunStation(options); }

}  // namespace

void AddPortOptions(CLI::App &command, std::vector<std::string> *ports, std::vector<std::string> *match,
                    size_t *jobs) {
    command.add_option("--ports", *ports, "Update these devices instead of the adapters found")->type_name("PATH...");
    command.add_option("--match", *match, "Only ports whose location, serial, VID:PID or path matches a glob")
        ->type_name("PATTERN...");
    command.add_option("--jobs", *jobs, "Run at most N updates at once (default: all)")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
}

tool::Subcommand AddStationCommand(CLI::App &app) { return tool::MakeSubcommand(app, AddStationOptions, RunStationCommand); }

}  // namespace kormelt::station
