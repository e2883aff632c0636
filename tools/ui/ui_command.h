// `kormelt ui`: the station as a local web page, on Linux only; elsewhere
// the subcommand says so.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>

namespace kormelt::ui {

class UiCommand {
public:
    // Adds the subcommand and its options to app.
    explicit UiCommand(CLI::App &app);
    ~UiCommand();
    UiCommand(const UiCommand &) = delete;
    UiCommand &operator=(const UiCommand &) = delete;

    bool parsed() const { return command_->parsed(); }
    int Run();

private:
    struct Settings;
    CLI::App *command_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace kormelt::ui
