// kormelt-sim: the device on a pseudo-terminal. The first line on stdout is
// the path the host opens; nothing else goes to stdout.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/sim/foreground.h"
#include "tools/sim/sim_cli.h"

namespace {

constexpr int EXIT_OPEN_FAILED = 2;
constexpr int EXIT_RUN_FAILED = 3;

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Device simulator on a pseudo-terminal: answers identify, erase, program and restart "
                 "requests, models the flash, and misbehaves on request.\n"
                 "Prints the slave path to open on the first line of stdout.",
                 "kormelt-sim"};
    kormelt::sim::Options options;
    kormelt::sim::AddSimulatorOptions(app, options);
    CLI11_PARSE(app, argc, argv);

    std::string error;
    switch (kormelt::sim::RunInForeground(options, {}, &error)) {
    case kormelt::sim::ForegroundEnd::Stopped:
        return 0;
    case kormelt::sim::ForegroundEnd::CannotStart:
        std::fprintf(stderr, "kormelt-sim: %s\n", error.c_str());
        return EXIT_OPEN_FAILED;
    case kormelt::sim::ForegroundEnd::Failed:
        std::fprintf(stderr, "kormelt-sim: %s\n", error.c_str());
        return EXIT_RUN_FAILED;
    }
    return EXIT_RUN_FAILED;
}
