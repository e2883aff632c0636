// `kormelt doctor`: checks of what stands between the tool and the device on
// Linux (the ports, their permissions and holders, services that take
// adapters, the console, latency timers) and a search as flash makes it.
// Elsewhere the subcommand says it is not available.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace kormelt::tool {

class DoctorCommand {
public:
    // Adds the subcommand and its options to app.
    explicit DoctorCommand(CLI::App &app);
    ~DoctorCommand();
    DoctorCommand(const DoctorCommand &) = delete;
    DoctorCommand &operator=(const DoctorCommand &) = delete;

    bool parsed() const { return command_->parsed(); }
    int Run();

private:
    struct Settings;
    CLI::App *command_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace kormelt::tool
