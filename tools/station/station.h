// `kormelt station`: every adapter on the rack updated with one image at
// once, one worker process per port, and each update in the records.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kormelt::station {

struct StationOptions {
    std::string image;
    std::vector<std::string> ports;  // instead of the scan; built-in UARTs only this way
    std::vector<std::string> match;  // globs of location, serial, VID:PID or path
    size_t jobs = 0;                 // updates running at once; 0 for all
    bool watch = false;              // keep running and update each adapter that appears
    bool json = false;
    std::string records;  // empty for the default file
};

// The exit code: 0 when every device was updated, EXIT_STATION when any
// failed, EXIT_CANCELLED after Ctrl-C, EXIT_SYSTEM when the records cannot
// be kept, EXIT_IMAGE for a bad image and EXIT_SEARCH when no adapter was
// found.
int RunStation(const StationOptions &options);

}  // namespace kormelt::station
