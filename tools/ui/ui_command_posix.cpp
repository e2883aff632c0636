#include <string>

#include "tools/kormelt/exit_codes.h"
#include "tools/records/records_option.h"
#include "tools/station/station_command.h"
#include "tools/ui/ui.h"
#include "tools/ui/ui_command.h"

namespace kormelt::ui {
namespace {

constexpr char UI_HELP[] =
    "Serves the station as a web page for a browser on this machine and prints its address, which holds a\n"
    "secret token, as the first line: open it to get the page. The page shows each USB and ACM adapter the\n"
    "scan finds (as 'kormelt station --watch' scans, twice a second; --ports and --match as there), takes an\n"
    "image file (an image, or Intel HEX, S-records or ELF sealed from address 0 as flash would) unless\n"
    "--locked fixes the one of --image, and updates every device at once, each in a worker of its own, as\n"
    "'kormelt station' does. With auto on, each device plugged in is updated at once. Each finished update\n"
    "is a line on stdout and a row in the records (see 'kormelt records --help'), which the page lists.\n"
    "\n"
    "The server listens on 127.0.0.1:8650 unless --listen says otherwise (port 0 picks a free one). Every\n"
    "request needs the token, which the address's visit turns into a cookie for this page alone; requests\n"
    "that name another host are refused, and a change is taken only from the page itself. An address other\n"
    "machines can reach is used only when given, with a warning: the token then travels unencrypted.\n"
    "\n"
    "Ctrl-C, SIGTERM or SIGHUP cancels every update that runs (up to 3 s while a device is silent), records\n"
    "it and exits with 8; an uploaded image is removed then.";

CLI::App *AddUiOptions(CLI::App &app, UiOptions &o) {
    CLI::App *command = tool::AddCommand(app, "ui", "The station as a web page on this machine (Linux)", UI_HELP);
    command->add_option("--image", o.image, "Start with this image (or firmware to seal)")->type_name("FILE");
    command->add_flag("--locked", o.locked, "The page cannot change the image of --image");
    command->add_option("--listen", o.listen, "Listen on this address and port (default 127.0.0.1:8650)")
        ->type_name("ADDR:PORT");
    station::AddPortOptions(*command, &o.ports, &o.match, &o.jobs);
    records::AddRecordsOption(*command, &o.records, "Keep the records in this SQLite file");
    return command;
}

int RunUiCommand(const CLI::App &, const UiOptions &options) { return RunUi(options); }

}  // namespace

tool::Subcommand AddUiCommand(CLI::App &app) { return tool::MakeSubcommand(app, AddUiOptions, RunUiCommand); }

}  // namespace kormelt::ui
