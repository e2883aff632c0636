// `kormelt station`: update every adapter on the rack at once. The station
// runs a worker process per port and reads them with poll(), on Linux only;
// elsewhere the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace kormelt::station {

class StationCommand {
public:
    // Adds the subcommand and its options to app.
    explicit StationCommand(CLI::App &app);
    ~StationCommand();
    StationCommand(const StationCommand &) = delete;
    StationCommand &operator=(const StationCommand &) = delete;

    bool parsed() const { return command_->parsed(); }
    int Run();

private:
    struct Settings;
    CLI::App *command_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace kormelt::station
