// A subcommand that keeps its settings to itself: main sees neither its
// options nor their types, only whether it was parsed and how to run it. Its
// header declares `Subcommand AddXCommand(CLI::App &app)`; its file defines
// that with MakeSubcommand, or, on a platform that has no such command, with
// UnavailableSubcommand.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "tools/kormelt/exit_codes.h"

namespace kormelt::tool {

class Subcommand {
public:
    Subcommand(const CLI::App *command, std::function<int()> run) : command_(command), run_(std::move(run)) {}

    bool parsed() const { return command_->parsed(); }
    int Run() const { return run_(); }

private:
    const CLI::App *command_;
    std::function<int()> run_;
};

// add puts the subcommand into app with its options bound to settings; run
// does its work once it was parsed. The run holds the settings, so they stay
// where the options write them however the Subcommand is moved.
template <typename Settings>
Subcommand MakeSubcommand(CLI::App &app, CLI::App *(*add)(CLI::App &app, Settings &settings),
                          int (*run)(const CLI::App &command, const Settings &settings)) {
    const auto settings = std::make_shared<Settings>();
    const CLI::App *command = add(app, *settings);
    return Subcommand(command, [command, settings, run] { return run(*command, *settings); });
}

// A subcommand whose help ends with its notes, if any, and then the exit
// codes, as every command's does.
inline CLI::App *AddCommand(CLI::App &app, const char *name, const char *summary, const std::string &notes = "") {
    CLI::App *command = app.add_subcommand(name, summary);
    command->footer(notes.empty() ? std::string(EXIT_CODE_HELP) : notes + "\n\n" + EXIT_CODE_HELP);
    return command;
}

// A subcommand this platform does not have: it takes whatever options follow,
// since the answer is the same, and says why (`kormelt: ` and why).
inline Subcommand UnavailableSubcommand(CLI::App &app, const char *name, const char *description, const char *why) {
    CLI::App *command = app.add_subcommand(name, description);
    command->allow_extras();
    return Subcommand(command, [why] {
        std::fprintf(stderr, "kormelt: %s\n", why);
        return EXIT_USAGE;
    });
}

}  // namespace kormelt::tool
