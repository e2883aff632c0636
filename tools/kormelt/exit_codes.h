// Exit codes of the tool: one per phase that can fail, so scripts can tell
// where a run stopped without reading its messages.
#pragma once

#include "tools/kormelt/searched_ports.h"

namespace kormelt::tool {

enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_INTERNAL = 1,   // an unexpected error inside the tool
    EXIT_OUTPUT = 1,     // what the tool prints cannot be written (stdout on a full disk, a closed pipe)
    EXIT_USAGE = 2,      // bad command line
    EXIT_IMAGE = 3,      // image or input file missing, unreadable, no regular file, too large, malformed,
                         // without firmware or with a wrong CRC
    EXIT_SEARCH = 4,     // no device found on COM1..COM7
    EXIT_ERASE = 5,      // erasing failed
    EXIT_UPLOAD = 6,     // uploading failed
    EXIT_RESTART = 7,    // the restart command failed
    EXIT_CANCELLED = 8,  // stopped by Ctrl-C, SIGTERM or SIGHUP
    EXIT_SYSTEM = 9,     // an output file cannot be written, the private copy cannot be made, or a helper
                         // cannot run
    EXIT_DOCTOR = 10,    // doctor found a problem that stands between the tool and the device
    EXIT_STATION = 11,   // station: a device failed while the others went on
};

// Shown at the end of --help.
inline constexpr char EXIT_CODE_HELP[] =
    "Exit codes:\n"
    "  0  success\n"
    "  1  internal error of the tool, or its output cannot be written (flash: see its --help)\n"
    "  2  bad command line\n"
    "  3  image or input: missing, unreadable, not a regular file, too large, malformed, without\n"
    "     firmware or with a wrong CRC\n"
    "  4  search: no device found on " SEARCHED_PORTS "\n"
    "  5  erase failed\n"
    "  6  upload failed\n"
    "  7  restart failed\n"
    "  8  cancelled (Ctrl-C, SIGTERM or SIGHUP)\n"
    "  9  an output file cannot be written (or is no regular file), the private copy of the image\n"
    "     cannot be made, the simulator cannot run, or the records cannot be kept\n"
    " 10  doctor: a check found a problem\n"
    " 11  station: one or more devices failed (each is listed with its message); the others were\n"
    "     updated\n";

}  // namespace kormelt::tool
