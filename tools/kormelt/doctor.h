// `kormelt doctor`: why a device cannot be found, told one check at a time.
// The checks are pure: they judge facts gathered elsewhere (doctor_system.h
// reads them from the machine), so a test can hand in any facts it likes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/path_kind.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"

namespace kormelt::tool {

enum class Verdict { Ok, Warning, Problem };

struct DoctorCheck {
    std::string check;  // what was checked, for machines: "exists", "access", "search", ...
    uint32_t port = 0;  // the COMn it concerns, 0 for checks of the machine as a whole
    std::string path;   // the device it concerns, or empty
    Verdict result = Verdict::Ok;
    std::string detail;  // what was found, without a final full stop
    std::string fix;     // one sentence, empty when the result is ok
};

// The user this process runs as, and its groups as the process has them
// now: a group added since the login is not among them.
struct UserFacts {
    std::string name;
    uint32_t uid = 0;
    uint32_t primary_gid = 0;
    std::vector<uint32_t> process_groups;
};

struct GroupFacts {
    std::string name;
    std::vector<std::string> members;  // the group file's list, without those whose primary group it is
};

// The lookups of users and groups: the system's, or in a test its own.
struct Accounts {
    std::function<UserFacts()> user;
    std::function<std::optional<GroupFacts>(uint32_t gid)> group;
};

enum class Presence { Present, Missing, DanglingLink, LinkLoop, Unreachable };

// One port's device as the machine shows it.
struct DeviceFacts {
    std::string path;
    Presence presence = Presence::Missing;
    std::string link_target;  // where a dangling link leads
    std::string reason;       // the system's words, for Unreachable
    PathKind kind = PathKind::Unknown;
    bool char_device = false;
    uint64_t rdev = 0;  // the device number, for a character device
    uint32_t owner_uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0;             // permission bits
    std::string kernel_name;       // "ttyUSB0": the name after the links udev makes
    std::optional<uint32_t> pty_index;  // the number of a pseudo-terminal's slave: /dev/pts/<index>
    PortProbe probe{PortState::Missing, PathKind::Unknown, ""};  // for a character device only
    std::string latency_timer_path;                              // empty where the driver shows none
    std::optional<long> latency_timer_ms;
    // A port on the network (rfc2217:// or socket://) rather than a path;
    // then only these and the probe (Reachable or Unreachable) count.
    bool remote = false;
    bool remote_name_ok = false;       // the name reads as a server's URL
    std::string remote_host;           // as named, without brackets
    uint16_t remote_port = 0;
    bool remote_host_numeric = false;  // taken by the library without a lookup (a numeric address, or localhost)
    std::string remote_resolved;       // a name's addresses as the system resolves it; empty when it does not
    std::string remote_resolve_error;  // the resolver's words when it does not
};

struct ProcessFacts {
    int32_t pid = 0;
    std::string name;                   // from its comm
    std::vector<uint64_t> char_devices;  // the device numbers it has open
    std::vector<uint32_t> pty_masters;   // the pseudo-terminals whose master it holds, by index
};

// The machine as a whole: its processes (this one left out) and consoles.
struct MachineFacts {
    std::vector<ProcessFacts> processes;
    size_t hidden_processes = 0;  // whose open files this user may not see
    std::vector<std::string> consoles;  // kernel names: "tty0", "ttyS0"
};

// The devices doctor looks at: each port's unless it leads nowhere.
std::vector<uint32_t> CandidatePorts(const PortMap &map);

// Whether there is anything to search at all, and the devices found that no
// port reaches.
std::vector<DoctorCheck> MapChecks(const PortMap &map);

// The checks of one port's device, in order: exists, terminal, access,
// holders, console, latency timer; for a port on the network: its name,
// name resolution, connection. What cannot be told (a missing device's
// terminal, say) gives no line.
std::vector<DoctorCheck> PortChecks(uint32_t port, const DeviceFacts &device, const MachineFacts &machine,
                                    const Accounts &accounts);

// Services known to take serial adapters: ModemManager and brltty.
std::vector<DoctorCheck> ServiceChecks(const MachineFacts &machine);

// The library's search as flash makes it: what KORMELT_Open returned and
// the port it found the device on.
DoctorCheck SearchCheck(int32_t status, uint32_t found_port, const PortMap &map);

struct DoctorTally {
    size_t ok = 0;
    size_t warnings = 0;
    size_t problems = 0;
};
DoctorTally Tally(const std::vector<DoctorCheck> &checks);

// 0 with no problem (warnings allowed), else the doctor's own code.
int DoctorExitCode(const DoctorTally &tally);

// One line each, with its newline: for people, and as JSON.
std::string DoctorCheckText(const DoctorCheck &check);
std::string DoctorCheckJson(const DoctorCheck &check);
std::string DoctorSummaryText(const DoctorTally &tally);
std::string DoctorSummaryJson(const DoctorTally &tally);

}  // namespace kormelt::tool
