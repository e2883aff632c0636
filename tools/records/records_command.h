// `kormelt records`: the updates recorded, as a table, JSON lines or CSV.
// The records are kept with SQLite on Linux only; elsewhere the subcommand
// says so.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace kormelt::records {

class RecordsCommand {
public:
    // Adds the subcommand and its options to app.
    explicit RecordsCommand(CLI::App &app);
    ~RecordsCommand();
    RecordsCommand(const RecordsCommand &) = delete;
    RecordsCommand &operator=(const RecordsCommand &) = delete;

    bool parsed() const { return command_->parsed(); }
    int Run();

private:
    struct Settings;
    CLI::App *command_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace kormelt::records
