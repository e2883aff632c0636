// `kormelt sim`: the device simulator in the foreground. It serves a
// pseudo-terminal, so only POSIX systems have it; elsewhere the subcommand
// says so.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace kormelt::tool {

class SimCommand {
public:
    // Adds the subcommand and its options to app.
    explicit SimCommand(CLI::App &app);
    ~SimCommand();
    SimCommand(const SimCommand &) = delete;
    SimCommand &operator=(const SimCommand &) = delete;

    bool parsed() const { return command_->parsed(); }
    int Run();

private:
    struct Settings;
    CLI::App *command_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace kormelt::tool
