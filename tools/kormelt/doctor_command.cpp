#include "tools/kormelt/doctor_command.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/doctor.h"
#include "tools/kormelt/doctor_system.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/searched_ports.h"

namespace kormelt::tool {
namespace {

constexpr char DOCTOR_HELP[] =
    "Checks, one line each, what most often keeps the device from being found, and says how to fix each\n"
    "problem: for each port as 'kormelt ports' maps it (or PATH alone with --port) whether the device\n"
    "exists, is a terminal and may be opened by this user (if not, the group that owns it and whether the\n"
    "user is in it), whether another process has it open, whether it is the system console, and the\n"
    "adapter's latency timer where its driver shows one; whether ModemManager or brltty runs; and then a\n"
    "search of " SEARCHED_PORTS " as flash makes it. Each line is ok, warning or problem.\n"
    "\n"
    "Nothing on the machine is changed: each device is opened for a moment as 'kormelt ports' opens it,\n"
    "and the search opens and closes the ports as flash does. A silent port costs the search 3 s.\n"
    "--json prints one JSON object per check and a final summary. Exit code 0 when no check found a\n"
    "problem (warnings allowed), 10 when one did.";

// The library hands its callback nothing but the percentage: the port the
// search was trying is read from the last one.
int32_t g_search_percent = 0;

int32_t KORMELT_CALL OnSearchProgress(int32_t percent) {
    g_search_percent = percent;
    return CancelRequested() ? 1 : 0;
}

struct DoctorSettings {
    std::string port;  // device path to check instead of the mapped ports; empty for all
    bool json = false;
};

CLI::App *AddDoctorOptions(CLI::App &app, DoctorSettings &settings) {
    CLI::App *command =
        AddCommand(app, "doctor", "Check what keeps the device from being found, and say how to fix it", DOCTOR_HELP);
    command->add_option("--port", settings.port, "Check and search only this device")->type_name("PATH");
    command->add_flag("--json", settings.json, "Print one JSON object per line");
    return command;
}

int RunDoctor(const CLI::App &command, const DoctorSettings &settings) {
    std::string error;
    if (command.count("--port") > 0 && settings.port.empty()) {
        std::fprintf(stderr, "kormelt: --port needs a device path; leave the option out to check " SEARCHED_PORTS "\n");
        return EXIT_USAGE;
    }
    if (!InstallCancelHandler(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    const std::optional<PortMap> map =
        settings.port.empty() ? MapPorts() : PointSearchAtDevice(settings.port, &error);
    if (!map) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    const bool json = settings.json;
    std::vector<DoctorCheck> checks = LocalChecks(*map, ThisSystem());
    for (const DoctorCheck &check : checks) {
        PrintOut(json ? DoctorCheckJson(check) : DoctorCheckText(check));
    }

    if (!HandPortsToLibrary(*map, &error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    g_search_percent = 0;
    const int32_t status = KORMELT_Open(OnSearchProgress);
    KORMELT_Close();  // always 0; the search only looked
    if (CancelRequested()) {
        std::fprintf(stderr, "kormelt: doctor cancelled during the search; nothing was changed.\n");
        return EXIT_CANCELLED;
    }
    checks.push_back(SearchCheck(status, status == KORMELT_STATUS_OK ? SearchPort(g_search_percent) : 0, *map));
    PrintOut(json ? DoctorCheckJson(checks.back()) : DoctorCheckText(checks.back()));

    const DoctorTally tally = Tally(checks);
    PrintOut(json ? DoctorSummaryJson(tally) : DoctorSummaryText(tally));
    return DoctorExitCode(tally);
}

}  // namespace

Subcommand AddDoctorCommand(CLI::App &app) { return MakeSubcommand(app, AddDoctorOptions, RunDoctor); }

}  // namespace kormelt::tool
