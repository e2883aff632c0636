// `kormelt station`: update every adapter on the rack at once. The station
// runs a worker process per port and reads them with poll(), on Linux only;
// elsewhere the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

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

// --ports, --match and --jobs, which `kormelt ui` takes too (Linux).
void AddPortOptions(CLI::App &command, std::vector<std::string> *ports, std::vector<std::string> *match,
                    size_t *jobs);

}  // namespace kormelt::station
