#include "tools/kormelt/doctor.h"

#include <algorithm>
#include <cstdio>

#include "device/api.h"
#include "link/port_name.h"
#include "tools/common/name_table.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/json_line.h"
#include "tools/kormelt/searched_ports.h"

namespace kormelt::tool {
namespace {

// Replies through an adapter whose timer is longer wait that long in its
// buffer before they reach the host.
constexpr long LATENCY_TIMER_GOOD_MS = 1;
constexpr uint32_t GROUP_READ_WRITE_BITS = 060;
constexpr size_t VERDICT_COLUMN_WIDTH = 9;  // "problem" and two blanks

// The checks' names, as --json gives them; those of a server on the network
// stand with its checks, the only ones that give them.
constexpr char CHECK_PORTS[] = "ports";
constexpr char CHECK_NOT_SEARCHED[] = "not_searched";
constexpr char CHECK_EXISTS[] = "exists";
constexpr char CHECK_TERMINAL[] = "terminal";
constexpr char CHECK_ACCESS[] = "access";
constexpr char CHECK_HOLDERS[] = "holders";
constexpr char CHECK_CONSOLE[] = "console";
constexpr char CHECK_LATENCY[] = "latency_timer";
constexpr char CHECK_SEARCH[] = "search";

constexpr char FIX_NAME_A_PORT[] =
    "Name the adapter's own device (a /dev/ttyUSB*, /dev/ttyACM* or /dev/ttyS* path); 'kormelt ports' lists "
    "those found.";
constexpr char FIX_PLUG_IN[] =
    "Plug the adapter in (dmesg shows whether the kernel saw it), or check the path; 'kormelt ports' lists the "
    "serial devices found.";

// A service known to take serial adapters for devices of its own.
struct Service {
    const char *check;
    const char *label;
    const char *process;  // its name in comm, or the start of it
    bool prefix;
    const char *why;
    const char *fix;
};

constexpr Service SERVICES[] = {
    {"modem_manager", "ModemManager", "ModemManager", false,
     "it opens new serial adapters to ask them whether they are modems",
     "Stop it with `sudo systemctl stop ModemManager` (and `sudo systemctl disable ModemManager` to keep it off), "
     "or make it leave the adapter alone with a udev rule that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\" for it."},
    {"brltty", "brltty", "brltty", true, "it claims USB serial adapters that it takes for braille displays",
     "Stop it with `sudo systemctl stop brltty-udev.service brltty.service` and keep it off with `sudo systemctl "
     "mask brltty-udev.service brltty.service`, or remove the brltty package where no braille display is used."},
};

bool IsService(const Service &service, const std::string &name) {
    return service.prefix ? name.rfind(service.process, 0) == 0 : name == service.process;
}

std::string PortName(uint32_t n) { return "COM" + std::to_string(n); }

DoctorCheck Line(const char *check, uint32_t port, const std::string &path, Verdict result, const std::string &detail,
                 const std::string &fix = "") {
    return {check, port, path, result, detail, fix};
}

std::string Octal(uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string Pid(int32_t pid) { return std::to_string(pid); }

template <typename T>
bool Contains(const std::vector<T> &values, const T &value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::string Joined(const std::vector<std::string> &parts, const char *gap) {
    std::string text;
    for (const std::string &part : parts) {
        text += (text.empty() ? "" : gap) + part;
    }
    return text;
}

// Why this user may not open the device: the group that owns it, and
// whether the user is in it now, only since the login, or not at all.
DoctorCheck AccessDenied(uint32_t port, const DeviceFacts &device, const Accounts &accounts) {
    const UserFacts user = accounts.user();
    const std::optional<GroupFacts> group = accounts.group(device.gid);
    const std::string name = user.name;
    const std::string group_name = group ? group->name : std::to_string(device.gid);
    const bool in_process = Contains(user.process_groups, device.gid);
    const bool in_database = user.primary_gid == device.gid || (group && Contains(group->members, user.name));
    const std::string refused = name + " may not open it (" + device.probe.detail + ")";
    const auto problem = [&](const std::string &detail, const std::string &fix) {
        return Line(CHECK_ACCESS, port, device.path, Verdict::Problem, detail, fix);
    };
    if (!in_process && !in_database) {
        return problem(refused + ": it belongs to group " + group_name + ", which " + name + " is not in",
                       "Add " + name + " to the group with `sudo usermod -aG " + group_name + " " + name +
                           "`, then log out and in again: a group counts from the next login.");
    }
    if (!in_process) {
        return problem(refused + ": it belongs to group " + group_name + ", which " + name +
                           " was added to after this login",
                       "Log out and in again (or run `newgrp " + group_name +
                           "` in this shell): a group counts from the next login.");
    }
    if ((device.mode & GROUP_READ_WRITE_BITS) != GROUP_READ_WRITE_BITS) {
        return problem(refused + ": " + name + " is in its group " + group_name +
                           ", but the group may not read and write it (mode " + Octal(device.mode) + ")",
                       "Give the group read and write access with a udev rule (MODE=\"0660\") for the adapter.");
    }
    return problem(refused + ", although it belongs to group " + group_name + ", which " + name + " is in",
                   "Look for an access control list or a security policy that keeps it (`getfacl " + device.path +
                       "`).");
}

// Which other processes have the device open, by its device number, so that
// any name for it counts (a by-id link, /dev/ttyUSB0). On a pseudo-terminal
// the process that holds the master is the line's far end, the device's
// side (a simulator), and no rival for it.
DoctorCheck Holders(uint32_t port, const DeviceFacts &device, const MachineFacts &machine) {
    std::vector<std::string> named;
    std::vector<std::string> pids;
    std::vector<std::string> far_ends;
    bool service = false;
    for (const ProcessFacts &process : machine.processes) {
        if (device.pty_index && Contains(process.pty_masters, *device.pty_index)) {
            far_ends.push_back(process.name + " (PID " + Pid(process.pid) + ")");
            continue;
        }
        if (Contains(process.char_devices, device.rdev)) {
            named.push_back(process.name + " (PID " + Pid(process.pid) + ")");
            pids.push_back(Pid(process.pid));
            for (const Service &known : SERVICES) {
                service = service || IsService(known, process.name);
            }
        }
    }
    if (!named.empty()) {
        const bool one = named.size() == 1;
        return Line(CHECK_HOLDERS, port, device.path, Verdict::Problem, "open in " + Joined(named, ", "),
                    std::string("Quit ") + (one ? "that program" : "those programs") + " or end " +
                        (one ? "it" : "them") + " with `kill " + Joined(pids, " ") + "`" +
                        (service ? ", and stop the service as its line says" : "") +
                        "; the device answers one program at a time.");
    }
    if (device.probe.state == PortState::InUse) {
        return Line(CHECK_HOLDERS, port, device.path, Verdict::Problem,
                    "another program holds it (" + device.probe.detail +
                        "), but no process this user can see has it open",
                    "Run `sudo kormelt doctor --port " + device.path + "` to name the program, and quit it.");
    }
    const std::string far_end =
        far_ends.empty() ? "" : "; " + Joined(far_ends, ", ") + " holds the other end of the pseudo-terminal";
    return Line(CHECK_HOLDERS, port, device.path, Verdict::Ok,
                (machine.hidden_processes == 0
                     ? "no other process has it open"
                     : "no process this user can see has it open (the files of " +
                           std::to_string(machine.hidden_processes) + " processes of other users show to root only)") +
                    far_end);
}

// A port on the network: its name, its host as the library takes it, and
// whether its server takes a connection. The device behind it is not asked
// anything here; the search after the checks does that.
std::vector<DoctorCheck> ServerChecks(uint32_t port, const DeviceFacts &device) {
    constexpr char CHECK_SERVER_NAME[] = "server_name";  // as the library takes the port's name
    constexpr char CHECK_NAME_RESOLUTION[] = "name_resolution";
    constexpr char CHECK_CONNECTION[] = "connection";
    std::vector<DoctorCheck> checks;
    const auto add = [&](const char *check, Verdict result, const std::string &detail, const std::string &fix = "") {
        checks.push_back(Line(check, port, device.path, result, detail, fix));
    };
    if (!device.remote_name_ok) {
        add(CHECK_SERVER_NAME, Verdict::Problem, "not a port name the library takes",
            "Name a serial server rfc2217://HOST:PORT or socket://HOST:PORT, HOST a name or a numeric address "
            "([IPv6] in brackets); rfc2217 takes ?tolerant for a server that cannot set the line.");
        return checks;
    }
    add(CHECK_SERVER_NAME, Verdict::Ok, "a serial server on the network");
    const std::string &host = device.remote_host;
    if (device.remote_host_numeric) {
        add(CHECK_NAME_RESOLUTION, Verdict::Ok, host + " needs no lookup");
    } else if (device.remote_resolved.empty()) {
        add(CHECK_NAME_RESOLUTION, Verdict::Problem,
            host + " could not be looked up (" + device.remote_resolve_error + ")",
            "Check the name and this machine's resolver (/etc/hosts, DNS), or name the server by its numeric "
            "address.");
        return checks;
    } else {
        add(CHECK_NAME_RESOLUTION, Verdict::Ok,
            host + " resolves to " + device.remote_resolved + " (the library looks it up as it connects)");
    }
    if (device.probe.state == PortState::Reachable) {
        add(CHECK_CONNECTION, Verdict::Ok, "the server takes connections (it was sent nothing)");
    } else {
        add(CHECK_CONNECTION, Verdict::Problem, "cannot connect: " + device.probe.detail,
            "The network or the server is at fault, not the device: check that the server runs and listens on port " +
                std::to_string(device.remote_port) + " and that nothing between blocks it.");
    }
    return checks;
}

}  // namespace

std::vector<uint32_t> CandidatePorts(const PortMap &map) {
    std::vector<uint32_t> ports;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (map.Port(n).device != NO_PORT_PATH) {
            ports.push_back(n);
        }
    }
    return ports;
}

std::vector<DoctorCheck> MapChecks(const PortMap &map) {
    std::vector<DoctorCheck> checks;
    if (CandidatePorts(map).empty()) {
        checks.push_back(Line(CHECK_PORTS, 0, "", Verdict::Problem, "no serial device found for " SEARCHED_PORTS,
                              "Plug the adapter in (dmesg shows whether the kernel saw it), or name its device "
                              "with --port PATH."));
    }
    for (const MappedPort &left : map.left_over) {
        checks.push_back(Line(CHECK_NOT_SEARCHED, 0, left.device, Verdict::Warning,
                              left.device + " (" + left.source + ") is left out: only " SEARCHED_PORTS " are searched",
                              "If the device is there, search it alone with --port " + left.device +
                                  ", or make it a port with " + PORT_NAME_VARIABLE + "<n>=" + left.device + "."));
    }
    return checks;
}

std::vector<DoctorCheck> PortChecks(uint32_t port, const DeviceFacts &device, const MachineFacts &machine,
                                    const Accounts &accounts) {
    if (device.remote) {
        return ServerChecks(port, device);
    }
    const std::string &path = device.path;
    std::vector<DoctorCheck> checks;
    const auto add = [&](const char *check, Verdict result, const std::string &detail, const std::string &fix = "") {
        checks.push_back(Line(check, port, path, result, detail, fix));
    };
    switch (device.presence) {
    case Presence::Present:
        add(CHECK_EXISTS, Verdict::Ok, std::string("exists, ") + PathKindText(device.kind));
        break;
    case Presence::Missing:
        add(CHECK_EXISTS, Verdict::Problem, "does not exist", FIX_PLUG_IN);
        return checks;
    case Presence::DanglingLink:
        add(CHECK_EXISTS, Verdict::Problem, "a symbolic link to " + device.link_target + ", which does not exist",
            FIX_PLUG_IN);
        return checks;
    case Presence::LinkLoop:
        add(CHECK_EXISTS, Verdict::Problem, PathKindText(PathKind::SymlinkLoop), FIX_NAME_A_PORT);
        return checks;
    case Presence::Unreachable:
        add(CHECK_EXISTS, Verdict::Problem, "cannot be looked at (" + device.reason + ")",
            "Check that this user may enter the directories on the path.");
        return checks;
    }
    if (!device.char_device) {
        add(CHECK_TERMINAL, Verdict::Problem, std::string("not a serial port: ") + PathKindText(device.kind),
            FIX_NAME_A_PORT);
        return checks;
    }

    const PortProbe &probe = device.probe;
    switch (probe.state) {
    case PortState::Free:
        add(CHECK_TERMINAL, Verdict::Ok, "a terminal");
        add(CHECK_ACCESS, Verdict::Ok, accounts.user().name + " may open it");
        break;
    case PortState::NotSerialPort:
        add(CHECK_TERMINAL, Verdict::Problem, std::string("not a serial port: ") + PathKindText(probe.kind),
            FIX_NAME_A_PORT);
        add(CHECK_ACCESS, Verdict::Ok, accounts.user().name + " may open it");
        break;
    case PortState::NoAccess:
        checks.push_back(AccessDenied(port, device, accounts));
        break;
    case PortState::Missing:
        add(CHECK_ACCESS, Verdict::Problem, "no device answers behind the name (" + probe.detail + ")",
            "Plug the adapter in again; a /dev/ttyS* port may have no UART behind it.");
        break;
    case PortState::Unusable:
        add(CHECK_ACCESS, Verdict::Problem, "cannot be opened (" + probe.detail + ")",
            "Unplug the adapter and plug it in again; dmesg may tell what its driver reports.");
        break;
    case PortState::InUse:
        break;  // whether it opens is not known while another holds it; the holders say who
    case PortState::Reachable:
    case PortState::Unreachable:
        break;  // a server's, judged by ServerChecks
    }
    checks.push_back(Holders(port, device, machine));

    if (Contains(machine.consoles, device.kernel_name)) {
        add(CHECK_CONSOLE, Verdict::Problem,
            "the system console (" + device.kernel_name + "): the kernel writes its messages there",
            "Flash over another port, or take the console off this one (remove console=" + device.kernel_name +
                " from the kernel's command line) and restart.");
    } else {
        add(CHECK_CONSOLE, Verdict::Ok, "not the system console");
    }

    if (device.latency_timer_ms) {
        const long ms = *device.latency_timer_ms;
        if (ms > LATENCY_TIMER_GOOD_MS) {
            add(CHECK_LATENCY, Verdict::Warning,
                "latency timer " + std::to_string(ms) + " ms: the adapter holds each reply up to " +
                    std::to_string(ms) + " ms before passing it on",
                "kormelt flash lowers it for its run where it may write the file; otherwise set it to 1 ms "
                "with `echo 1 | sudo tee " +
                    device.latency_timer_path + "` (it lasts until the adapter is plugged in again).");
        } else {
            add(CHECK_LATENCY, Verdict::Ok, "latency timer " + std::to_string(ms) + " ms");
        }
    }
    return checks;
}

std::vector<DoctorCheck> ServiceChecks(const MachineFacts &machine) {
    std::vector<DoctorCheck> checks;
    for (const Service &service : SERVICES) {
        std::vector<std::string> pids;
        for (const ProcessFacts &process : machine.processes) {
            if (IsService(service, process.name)) {
                pids.push_back(Pid(process.pid));
            }
        }
        if (pids.empty()) {
            checks.push_back(Line(service.check, 0, "", Verdict::Ok, "not running"));
        } else {
            checks.push_back(Line(service.check, 0, "", Verdict::Warning,
                                  "running (PID " + Joined(pids, ", ") + "): " + service.why, service.fix));
        }
    }
    return checks;
}

DoctorCheck SearchCheck(int32_t status, uint32_t found_port, const PortMap &map) {
    if (status == KORMELT_STATUS_OK) {
        const std::string &device = map.Port(found_port).device;
        return Line(CHECK_SEARCH, found_port, device, Verdict::Ok,
                    "the device answered on " + PortName(found_port) + " (" + device + ")");
    }
    std::vector<std::string> tried;
    for (const uint32_t n : CandidatePorts(map)) {
        tried.push_back(PortName(n) + " (" + map.Port(n).device + ")");
    }
    const std::string where = tried.empty() ? ": no port leads to a serial device" : " on " + Joined(tried, ", ");
    if (status == KORMELT_STATUS_NOT_FOUND) {
        return Line(CHECK_SEARCH, 0, "", Verdict::Problem,
                    "no device answered" + where + " (status " + std::to_string(status) + ")",
                    "Check that the device is powered and its cable connected, after settling the problems "
                    "above.");
    }
    return Line(CHECK_SEARCH, 0, "", Verdict::Problem,
                "the search failed" + where + " (status " + std::to_string(status) + ")",
                "Run doctor again; if it fails the same way, settle the problems above first.");
}

DoctorTally Tally(const std::vector<DoctorCheck> &checks) {
    DoctorTally tally;
    for (const DoctorCheck &check : checks) {
        switch (check.result) {
        case Verdict::Ok:
            ++tally.ok;
            break;
        case Verdict::Warning:
            ++tally.warnings;
            break;
        case Verdict::Problem:
            ++tally.problems;
            break;
        }
    }
    return tally;
}

int DoctorExitCode(const DoctorTally &tally) { return tally.problems == 0 ? EXIT_OK : EXIT_DOCTOR; }

namespace {

constexpr Named<Verdict> VERDICT_WORDS[] = {
    {Verdict::Ok, "ok"}, {Verdict::Warning, "warning"}, {Verdict::Problem, "problem"},
};
static_assert(NamesEveryValue(VERDICT_WORDS, Verdict::Problem));

const char *VerdictWord(Verdict verdict) { return NameIn(VERDICT_WORDS, verdict, "?"); }

const char *ServiceLabel(const std::string &check) {
    for (const Service &service : SERVICES) {
        if (check == service.check) {
            return service.label;
        }
    }
    return nullptr;
}

std::string Counted(size_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string OverallResult(const DoctorTally &tally) {
    return tally.problems > 0 ? "problem" : tally.warnings > 0 ? "warning" : "ok";
}

}  // namespace

std::string DoctorCheckText(const DoctorCheck &check) {
    std::string subject;
    if (check.port != 0 && check.check != CHECK_SEARCH) {
        subject = PortName(check.port) + " " + check.path;
    } else if (const char *label = ServiceLabel(check.check)) {
        subject = label;
    } else if (check.check == CHECK_NOT_SEARCHED) {
        subject = CHECK_PORTS;
    } else {
        subject = check.check;
    }
    std::string verdict = VerdictWord(check.result);
    verdict.resize(VERDICT_COLUMN_WIDTH, ' ');
    return verdict + subject + ": " + check.detail + (check.fix.empty() ? "" : ". Fix: " + check.fix) + "\n";
}

std::string DoctorCheckJson(const DoctorCheck &check) {
    JsonLine line;
    line.Add("event", "check").Add("check", check.check);
    if (check.port != 0) {
        line.Add("port", PortName(check.port));
    } else {
        line.AddNull("port");
    }
    if (!check.path.empty()) {
        line.Add("path", check.path);
    } else {
        line.AddNull("path");
    }
    line.Add("result", VerdictWord(check.result)).Add("detail", check.detail);
    if (!check.fix.empty()) {
        line.Add("fix", check.fix);
    } else {
        line.AddNull("fix");
    }
    return line.Text() + "\n";
}

std::string DoctorSummaryText(const DoctorTally &tally) {
    const std::string rest = Counted(tally.warnings, "warning", "warnings") + ", " + std::to_string(tally.ok) + " ok";
    return "doctor: " +
           (tally.problems > 0 ? Counted(tally.problems, "problem", "problems") + ", " : "no problem found; ") +
           rest + "\n";
}

std::string DoctorSummaryJson(const DoctorTally &tally) {
    JsonLine line;
    line.Add("event", "summary")
        .Add("result", OverallResult(tally))
        .Add("ok", static_cast<uint64_t>(tally.ok))
        .Add("warnings", static_cast<uint64_t>(tally.warnings))
        .Add("problems", static_cast<uint64_t>(tally.problems))
        .Add("exit_code", DoctorExitCode(tally));
    return line.Text() + "\n";
}

}  // namespace kormelt::tool
