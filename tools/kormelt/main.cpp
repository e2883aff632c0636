// kormelt: update the firmware of a device on a serial line, and prepare and
// check its image files.
#include <cstdio>
#include <exception>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/kormelt/commands.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/searched_ports.h"
#include "tools/kormelt/sim_command.h"
#include "tools/records/records_command.h"
#include "tools/station/station_command.h"

using namespace kormelt::tool;

namespace {

constexpr char FLASH_HELP[] =
    "Reads the image once and checks its CRC, finds the device on " SEARCHED_PORTS ", erases it, uploads the\n"
    "image and restarts it. The library checks and uploads a private copy of what was read, so a file\n"
    "changed meanwhile cannot reach the device. The image must be a regular file of 3 bytes or more.\n"
    "\n"
    "On Linux COMn is the device in $KORMELT_COM<n> when that is set; the other ports go, in order, to\n"
    "the USB and ACM adapters (/dev/serial/by-id, /dev/ttyUSB*, /dev/ttyACM*), then to the /dev/ttyS*\n"
    "ports with a UART behind them, the system console left out ('kormelt ports' shows the result).\n"
    "--port PATH searches PATH alone (it becomes COM1, COM2 to COM7 are left out). Windows searches\n"
    SEARCHED_PORTS " and has no --port.\n"
    "\n"
    "Ctrl-C, SIGTERM or SIGHUP (the terminal or the remote session closed) cancels at the next progress\n"
    "report and closes the port; the device must then be flashed again. While the device stays silent\n"
    "the library waits up to 3 s without reporting, so a cancel can take that long to take effect; it is\n"
    "honoured whatever the library then returns.\n"
    "\n"
    "The output never stops an update: a reader that goes away (kormelt flash | head) only ends the\n"
    "output, and the exit code is the run's. Any other failure to write the output (a full disk) is\n"
    "reported at the end and gives exit code 1 if the run succeeded, else the run's code.";

int Run(int argc, char **argv) {
    CLI::App app{"kormelt: firmware update of a device on a serial line", "kormelt"};
    app.set_version_flag("--version", "kormelt " KORMELT_VERSION);
    app.require_subcommand(1);
    app.footer(EXIT_CODE_HELP);

    FlashOptions flash;
    CLI::App *flash_command = app.add_subcommand("flash", "Update the device with an image file");
    flash_command->footer(std::string(FLASH_HELP) + "\n\n" + EXIT_CODE_HELP);
    flash_command->add_option("IMAGE", flash.image, "Image file: the firmware followed by its CRC")->required();
    flash_command->add_option("--port", flash.port, "Search only this device (not on Windows)")->type_name("PATH");
    CLI::Option *json = flash_command->add_flag("--json", flash.json, "Print one JSON object per line");
    flash_command->add_flag("-q,--quiet", flash.quiet, "Print nothing but errors")->excludes(json);
    flash_command->add_option("--records", flash.records, "Keep a record of the update in this SQLite file")
        ->type_name("FILE");
    // How a station's workers are started: IMAGE is the station's checked copy.
    flash_command->add_flag("--from-station", flash.from_station)->group("");

    std::string check_image;
    CLI::App *check_command = app.add_subcommand("check", "Tell whether an image file ends with its correct CRC");
    check_command->footer(EXIT_CODE_HELP);
    check_command->add_option("IMAGE", check_image, "Image file")->required();

    SealOptions seal;
    CLI::App *seal_command =
        app.add_subcommand("seal", "Make an image file from raw binary or Intel HEX by appending the CRC");
    seal_command->footer(
        "Intel HEX data are placed from address 0 with gaps filled with 0xFF; input named *.hex or *.ihex\n"
        "is read as Intel HEX unless --format says otherwise. The input must be a regular file, not empty.\n"
        "The output is written as a regular file; a symlink is followed to the file it names, and an\n"
        "output that is a device, FIFO or directory is refused.\n\n" +
        std::string(EXIT_CODE_HELP));
    seal_command->add_option("INPUT", seal.input, "Firmware as raw binary or Intel HEX")->required();
    seal_command->add_option("-o,--output", seal.output, "Image file to write")->required()->type_name("IMAGE");
    seal_command->add_option("--format", seal.format, "Input format, by default from the name")
        ->check(CLI::IsMember({"raw", "ihex"}));

    bool ports_json = false;
    CLI::App *ports_command = app.add_subcommand("ports", "List " SEARCHED_PORTS ", their devices here and their state");
    ports_command->footer(
        "Shows the device behind each port and where it came from (see 'kormelt flash --help'), and on Linux\n"
        "what the kernel knows of a USB adapter: its location (the USB interface, e.g. 1-1.2:1.0, which\n"
        "names the hub socket), VID:PID, serial number, maker and product. Each existing serial device is\n"
        "opened for a moment to see whether it is free; on a real serial port that raises its modem lines\n"
        "briefly.");
    ports_command->add_flag("--json", ports_json, "Print one JSON object per port");

    SimCommand sim(app);
    kormelt::records::RecordsCommand records(app);
    kormelt::station::StationCommand station(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // CLI11 prints help and errors, here through the checked output; its
        // own codes for bad command lines (100 and up) are folded into the
        // tool's one usage code.
        std::ostringstream out;
        std::ostringstream err;
        const int code = app.exit(e, out, err);
        PrintOut(out.str());
        std::fputs(err.str().c_str(), stderr);
        return ExitAfterOutput(code == 0 ? EXIT_OK : EXIT_USAGE, OutputRule::Strict);
    }

    if (flash_command->parsed() && flash_command->count("--port") > 0 && flash.port.empty()) {
        std::fprintf(stderr, "kormelt: --port needs a device path; leave the option out to search " SEARCHED_PORTS "\n");
        return EXIT_USAGE;
    }
    if (flash_command->parsed() && flash_command->count("--records") > 0 && flash.records.empty()) {
        std::fprintf(stderr, "kormelt: --records needs a file; leave the option out to keep no record\n");
        return EXIT_USAGE;
    }

    try {
        if (flash_command->parsed()) {
            return ExitAfterOutput(RunFlash(flash), OutputRule::KeepRunCode);
        }
        if (station.parsed()) {
            return ExitAfterOutput(station.Run(), OutputRule::KeepRunCode);
        }
        int code = EXIT_USAGE;
        if (check_command->parsed()) {
            code = RunCheck(check_image);
        } else if (seal_command->parsed()) {
            code = RunSeal(seal);
        } else if (ports_command->parsed()) {
            code = RunPorts(ports_json);
        } else if (sim.parsed()) {
            code = sim.Run();
        } else if (records.parsed()) {
            code = records.Run();
        }
        return ExitAfterOutput(code, OutputRule::Strict);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kormelt: internal error: %s\n", e.what());
        return EXIT_INTERNAL;
    }
}

}  // namespace

int main(int argc, char **argv) {
    // First of all: a closed standard stream must not be handed out again by
    // the next open.
    std::string error;
    if (!KeepStandardStreamsOpen(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    return Run(argc, argv);
}
