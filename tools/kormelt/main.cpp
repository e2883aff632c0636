// kormelt: update the firmware of a device on a serial line, and prepare and
// check its image files.
#include <cstdio>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/kormelt/commands.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/doctor_command.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image_builder.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/searched_ports.h"
#include "tools/kormelt/sim_command.h"
#include "tools/records/records_command.h"
#include "tools/station/station_command.h"
#include "tools/ui/ui_command.h"

using namespace kormelt::tool;

namespace {

constexpr char SEAL_HELP[] =
    "The format comes from --format, else from the content (the ELF magic, S-records S0 to S9, ':' records\n"
    "of Intel HEX), else from the name (.hex .ihex .ihx; .srec .s19 .s28 .s37 .mot; .elf .axf); any other\n"
    "file is raw binary, the firmware as it is.\n"
    "\n"
    "Intel HEX, S-records and ELF place their data at device addresses (ELF: each PT_LOAD segment's bytes\n"
    "at its physical address; .bss takes none). --base says which address becomes the image's first byte:\n"
    "an address (0x08000000), or 'lowest' for the lowest address holding data, as a binary copy of an ELF\n"
    "file starts. Without --base it is address 0. Data below the base, overlapping data and an image over\n"
    "16 MiB are refused; gaps are filled with 0xFF. Raw binary has no addresses and ignores --base.\n"
    "\n"
    "The input must be a regular file, not empty. The output is written as a regular file; a symlink is\n"
    "followed to the file it names, and an output that is a device, FIFO or directory is refused.";

constexpr char INFO_HELP[] =
    "Shows the format and how it was found, the address ranges with data and their sizes, the gaps\n"
    "between them, the base taken, the entry or start address, an S-record file's S0 header, and the\n"
    "image seal would make (its size and CRC) or why it would refuse; for a raw file, whether it is an\n"
    "image already. --format and --base as for seal. --json prints one JSON object.";

constexpr char FLASH_HELP[] =
    "Reads the image once and checks its CRC, finds the device on " SEARCHED_PORTS ", erases it, uploads the\n"
    "image and restarts it. The library checks and uploads a private copy of what was read, so a file\n"
    "changed meanwhile cannot reach the device. The image must be a regular file of 3 bytes or more.\n"
    "\n"
    "FIRMWARE may also be Intel HEX, Motorola S-records or ELF (found as 'kormelt seal --help' says): it\n"
    "is sealed in memory from the base, as seal would, and what was taken is shown in one line (format,\n"
    "base, size, CRC) before the device is searched. Any other file is taken as an image.\n"
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

const std::vector<std::string> FORMAT_WORDS = {"raw", "ihex", "srec", "elf"};

const CLI::Validator BASE_VALIDATOR(
    [](std::string &text) {
        BaseChoice base;
        std::string error;
        return ParseBase(text, &base, &error) ? std::string() : error;
    },
    "");  // the option's type name says it already

// The base an option gave, or address 0 when it was not given.
BaseChoice BaseOption(const CLI::App *command, const std::string &text) {
    BaseChoice base;
    std::string error;
    if (command->count("--base") > 0 && !ParseBase(text, &base, &error)) {
        throw std::logic_error("--base passed its check but does not parse: " + error);
    }
    return base;
}

// --format and --base, which flash, seal and info take alike; the base is
// parsed once the command line is.
void AddFormatAndBase(CLI::App *command, const char *format_help, std::string *format, std::string *base) {
    command->add_option("--format", *format, format_help)->check(CLI::IsMember(FORMAT_WORDS));
    command->add_option("--base", *base, "Address of the image's first byte, or lowest (default 0)")
        ->type_name("ADDRESS|lowest")
        ->check(BASE_VALIDATOR);
}

int Run(int argc, char **argv) {
    CLI::App app{"kormelt: firmware update of a device on a serial line", "kormelt"};
    app.set_version_flag("--version", "kormelt " KORMELT_VERSION);
    app.require_subcommand(1);
    app.footer(EXIT_CODE_HELP);

    FlashOptions flash;
    CLI::App *flash_command = AddCommand(
        app, "flash", "Update the device with an image file, or with firmware sealed on the way", FLASH_HELP);
    flash_command->add_option("FIRMWARE", flash.image, "Image file (the firmware followed by its CRC), or Intel HEX, "
                              "S-records or ELF to seal first")->required();
    std::string flash_base;
    AddFormatAndBase(flash_command, "Format of FIRMWARE (raw is an image), by default found out", &flash.format,
                     &flash_base);
    flash_command->add_option("--port", flash.port, "Search only this device (not on Windows)")->type_name("PATH");
    CLI::Option *json = flash_command->add_flag("--json", flash.json, "Print one JSON object per line");
    flash_command->add_flag("-q,--quiet", flash.quiet, "Print nothing but errors")->excludes(json);
    flash_command->add_option("--records", flash.records, "Keep a record of the update in this SQLite file")
        ->type_name("FILE");
    // How a station's workers are started: IMAGE is the station's checked copy.
    flash_command->add_flag("--from-station", flash.from_station)->group("");

    std::string check_image;
    CLI::App *check_command = AddCommand(app, "check", "Tell whether an image file ends with its correct CRC");
    check_command->add_option("IMAGE", check_image, "Image file")->required();

    SealOptions seal;
    CLI::App *seal_command = AddCommand(
        app, "seal", "Make an image file from raw binary, Intel HEX, S-records or ELF by appending the CRC", SEAL_HELP);
    seal_command->add_option("INPUT", seal.input, "Firmware as raw binary, Intel HEX, S-records or ELF")->required();
    seal_command->add_option("-o,--output", seal.output, "Image file to write")->required()->type_name("IMAGE");
    std::string seal_base;
    AddFormatAndBase(seal_command, "Input format, by default found out", &seal.format, &seal_base);

    InfoOptions info;
    CLI::App *info_command =
        AddCommand(app, "info", "Show what an input or image file holds and the image it makes", INFO_HELP);
    info_command->add_option("FILE", info.input, "Any input or image file")->required();
    std::string info_base;
    AddFormatAndBase(info_command, "Input format, by default found out", &info.format, &info_base);
    info_command->add_flag("--json", info.json, "Print one JSON object");

    bool ports_json = false;
    CLI::App *ports_command = app.add_subcommand("ports", "List " SEARCHED_PORTS ", their devices here and their state");
    ports_command->footer(
        "Shows the device behind each port and where it came from (see 'kormelt flash --help'), and on Linux\n"
        "what the kernel knows of a USB adapter: its location (the USB interface, e.g. 1-1.2:1.0, which\n"
        "names the hub socket), VID:PID, serial number, maker and product. Each existing serial device is\n"
        "opened for a moment to see whether it is free; on a real serial port that raises its modem lines\n"
        "briefly.");
    ports_command->add_flag("--json", ports_json, "Print one JSON object per port");

    const Subcommand sim = AddSimCommand(app);
    const Subcommand doctor = AddDoctorCommand(app);
    const Subcommand records = kormelt::records::AddRecordsCommand(app);
    const Subcommand station = kormelt::station::AddStationCommand(app);
    const Subcommand ui = kormelt::ui::AddUiCommand(app);

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
        flash.base = BaseOption(flash_command, flash_base);
        seal.base = BaseOption(seal_command, seal_base);
        info.base = BaseOption(info_command, info_base);
        if (flash_command->parsed()) {
            return ExitAfterOutput(RunFlash(flash), OutputRule::KeepRunCode);
        }
        if (station.parsed()) {
            return ExitAfterOutput(station.Run(), OutputRule::KeepRunCode);
        }
        if (ui.parsed()) {
            return ExitAfterOutput(ui.Run(), OutputRule::KeepRunCode);
        }
        int code = EXIT_USAGE;
        if (check_command->parsed()) {
            code = RunCheck(check_image);
        } else if (seal_command->parsed()) {
            code = RunSeal(seal);
        } else if (info_command->parsed()) {
            code = RunInfo(info);
        } else if (ports_command->parsed()) {
            code = RunPorts(ports_json);
        } else if (sim.parsed()) {
            code = sim.Run();
        } else if (doctor.parsed()) {
            code = doctor.Run();
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
