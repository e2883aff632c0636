// `kormelt ui`: the station as a web page on this machine, for a
// technician's browser. Linux only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kormelt::ui {

constexpr char DEFAULT_LISTEN[] = "127.0.0.1:8650";

struct UiOptions {
    std::string image;  // the image to start with; empty for none
    bool locked = false;  // the page cannot change the image
    std::string listen = DEFAULT_LISTEN;
    std::string records;  // empty for the default file
    std::vector<std::string> ports;
    std::vector<std::string> match;
    size_t jobs = 0;
};

// Runs until Ctrl-C, SIGTERM or SIGHUP: EXIT_CANCELLED then, or the exit
// code of what kept it from starting (EXIT_USAGE, EXIT_IMAGE, EXIT_SYSTEM).
int RunUi(const UiOptions &options);

}  // namespace kormelt::ui
