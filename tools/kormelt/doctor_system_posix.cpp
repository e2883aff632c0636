#include "tools/kormelt/doctor_system.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <strings.h>

#include "link/port_url.h"
#include "link/remote_connect_posix.h"
#include "tools/common/directory_posix.h"
#include "tools/common/file_kind_posix.h"
#include "tools/kormelt/kernel_paths.h"
#include "tools/kormelt/port_scan.h"

namespace kormelt::tool {
namespace {

constexpr int LINK_HOPS_MAX = 40;         // as many as the kernel follows before ELOOP
// The kernel's numbers for the slaves of pseudo-terminals: majors 136 to
// 143, 256 minors each, /dev/pts/<index>.
constexpr unsigned PTY_SLAVE_FIRST_MAJOR = 136;
constexpr unsigned PTY_SLAVE_MAJORS = 8;
constexpr unsigned PTY_MINORS_PER_MAJOR = 256;
constexpr char PTY_MASTER_NAME[] = "/ptmx";  // the multiplexer every master is opened from
constexpr char TTY_INDEX_FIELD[] = "tty-index:";  // in a master's fdinfo: its slave's number

bool IsPid(const std::string &name) {
    return !name.empty() && name.size() <= 9 &&
           std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The name the kernel gives the device: the links udev makes (by-id,
// by-path) are relative and are followed; an absolute link, as a test's
// tree makes to a pseudo-terminal, is taken as the device itself.
std::string KernelName(const std::string &path) {
    std::string current = path;
    for (int hop = 0; hop < LINK_HOPS_MAX; ++hop) {
        std::string target;
        if (!LinkText(current, &target) || target[0] == '/') {
            break;
        }
        current = ParentDirectory(current) + "/" + target;
    }
    const size_t slash = current.find_last_of('/');
    return slash == std::string::npos ? current : current.substr(slash + 1);
}

std::vector<std::string> Consoles(const std::string &prefix) {
    std::set<std::string> names = ActiveConsoles(prefix);
    // One console a line, its name first: "ttyS0  -W- (EC p a)    4:64".
    std::ifstream file(prefix + PROC_CONSOLES);
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) {
            names.insert(name);
        }
    }
    return {names.begin(), names.end()};
}

std::optional<uint32_t> PtyIndex(dev_t rdev) {
    const unsigned device_major = major(rdev);
    if (device_major < PTY_SLAVE_FIRST_MAJOR || device_major >= PTY_SLAVE_FIRST_MAJOR + PTY_SLAVE_MAJORS) {
        return std::nullopt;
    }
    return (device_major - PTY_SLAVE_FIRST_MAJOR) * PTY_MINORS_PER_MAJOR + minor(rdev);
}

// The slave's number of the master open as fd_info's descriptor, from the
// "tty-index:" line the kernel writes there.
std::optional<uint32_t> MasterIndex(const std::string &fd_info) {
    std::ifstream file(fd_info);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(TTY_INDEX_FIELD, 0) == 0) {
            std::istringstream value(line.substr(sizeof TTY_INDEX_FIELD - 1));
            uint32_t index = 0;
            if (value >> index) {
                return index;
            }
        }
    }
    return std::nullopt;
}

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

UserFacts CurrentUser() {
    UserFacts user;
    user.uid = geteuid();
    user.primary_gid = getegid();
    user.name = std::to_string(user.uid);  // a user the database does not know keeps its number
    if (const passwd *entry = getpwuid(user.uid)) {
        user.name = entry->pw_name;
        user.primary_gid = entry->pw_gid;
    }
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = getgroups(count, groups.data());
        // A failure leaves only the effective group, which is always had.
        for (int k = 0; k < got; ++k) {
            user.process_groups.push_back(groups[static_cast<size_t>(k)]);
        }
    }
    user.process_groups.push_back(getegid());
    return user;
}

std::optional<GroupFacts> GroupById(uint32_t gid) {
    const group *entry = getgrgid(gid);
    if (entry == nullptr) {
        return std::nullopt;  // unknown to the database, or it cannot be read: shown by number
    }
    GroupFacts facts{entry->gr_name, {}};
    for (char *const *member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
        facts.members.emplace_back(*member);
    }
    return facts;
}

// A server's name as the system resolves it: its addresses, joined. The
// lookup may take the resolver's own time; doctor waits for it, where the
// library gives up at its connection's bound.
std::string Resolve(const std::string &host, std::string *error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int failed = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (failed != 0) {
        *error = gai_strerror(failed);
        return "";
    }
    std::set<std::string> seen;
    std::string joined;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void *address = a->ai_family == AF_INET
                                  ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr)
                                  : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr);
        if (inet_ntop(a->ai_family, address, text, sizeof text) != nullptr && seen.insert(text).second) {
            joined += (joined.empty() ? "" : ", ") + std::string(text);
        }
    }
    freeaddrinfo(found);
    return joined;
}

// Whether the library takes the host as it is: a numeric address of the
// kind its brackets say, or localhost.
bool Numeric(const PortUrl &url) {
    if (!url.bracketed && strcasecmp(url.host, REMOTE_LOCAL_HOST) == 0) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = url.bracketed ? AF_INET6 : AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *found = nullptr;
    if (getaddrinfo(url.host, nullptr, &hints, &found) != 0) {
        return false;
    }
    freeaddrinfo(found);
    return true;
}

DeviceFacts ServerFacts(const SystemView &view, const std::string &path, PortUrlParse parse, const PortUrl &url) {
    DeviceFacts facts;
    facts.path = path;
    facts.remote = true;
    facts.remote_name_ok = parse == PortUrlParse::Url;
    if (!facts.remote_name_ok) {
        return facts;
    }
    facts.remote_host = url.host;
    facts.remote_port = url.port;
    facts.remote_host_numeric = Numeric(url);
    if (!facts.remote_host_numeric) {
        facts.remote_resolved = Resolve(url.host, &facts.remote_resolve_error);
        if (facts.remote_resolved.empty()) {
            return facts;
        }
    }
    facts.probe = view.probe(path);
    return facts;
}

}  // namespace

SystemView ThisSystem() { return {ScanRoot(), ProbePort, SystemAccounts(), static_cast<int32_t>(getpid())}; }

Accounts SystemAccounts() { return {CurrentUser, GroupById}; }

DeviceFacts ReadDeviceFacts(const SystemView &view, const std::string &path) {
    PortUrl url;
    const PortUrlParse parse = ParsePortUrl(path.c_str(), &url);
    if (parse != PortUrlParse::Path) {
        return ServerFacts(view, path, parse, url);
    }
    DeviceFacts facts;
    facts.path = path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        const int e = errno;
        struct stat link {};
        if (e == ELOOP) {
            facts.presence = Presence::LinkLoop;
        } else if (e != ENOENT && e != ENOTDIR) {
            facts.presence = Presence::Unreachable;
            facts.reason = std::strerror(e);
        } else if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && LinkText(path, &facts.link_target)) {
            facts.presence = Presence::DanglingLink;
        } else {
            facts.presence = Presence::Missing;
        }
        return facts;
    }
    facts.presence = Presence::Present;
    facts.kind = PathKindOf(info.st_mode);
    facts.char_device = S_ISCHR(info.st_mode);
    facts.rdev = info.st_rdev;
    facts.owner_uid = info.st_uid;
    facts.gid = info.st_gid;
    facts.mode = info.st_mode & 07777;
    facts.kernel_name = KernelName(path);
    facts.pty_index = facts.char_device ? PtyIndex(info.st_rdev) : std::nullopt;
    if (!facts.char_device) {
        return facts;
    }
    facts.probe = view.probe(path);
    const std::string timer = RootPrefix(view.root) + USB_SERIAL_DIR + "/" + facts.kernel_name + "/" + LATENCY_TIMER;
    std::ifstream file(timer);
    long ms = 0;
    if (file >> ms) {
        facts.latency_timer_path = timer;
        facts.latency_timer_ms = ms;
    }
    return facts;
}

MachineFacts ReadMachineFacts(const SystemView &view) {
    const std::string prefix = RootPrefix(view.root);
    const std::string dev = std::string(DEV_DIR) + "/";  // where a device node's path starts
    MachineFacts machine;
    machine.consoles = Consoles(prefix);
    std::vector<std::string> names;
    if (!DirectoryNames(prefix + PROC_DIR, &names)) {
        return machine;  // no /proc: no process known to hold anything
    }
    for (const std::string &name : names) {
        if (!IsPid(name) || std::stol(name) == view.self_pid) {
            continue;
        }
        const std::string dir = prefix + PROC_DIR + "/" + name;
        ProcessFacts process;
        process.pid = static_cast<int32_t>(std::stol(name));
        std::ifstream comm(dir + "/comm");
        if (!std::getline(comm, process.name)) {
            process.name = "unnamed";  // gone meanwhile, or a tree without it
        }
        std::vector<std::string> fds;
        if (!DirectoryNames(dir + "/fd", &fds)) {
            // Another user's process hides its files; one that ended
            // meanwhile holds nothing.
            machine.hidden_processes += errno == EACCES || errno == EPERM ? 1 : 0;
        }
        for (const std::string &fd : fds) {
            const std::string link = dir + "/fd/" + fd;
            std::string target;
            // Only what lies under /dev can be a port; sockets, pipes and
            // files elsewhere are not looked at, so no slow file system is.
            if (!LinkText(link, &target) ||
                (target.rfind(dev, 0) != 0 && target.rfind(prefix + dev, 0) != 0)) {
                continue;
            }
            struct stat info {};
            if (stat(link.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
                continue;
            }
            process.char_devices.push_back(info.st_rdev);
            if (EndsWith(target, PTY_MASTER_NAME)) {
                if (const std::optional<uint32_t> index = MasterIndex(dir + "/fdinfo/" + fd)) {
                    process.pty_masters.push_back(*index);
                }
            }
        }
        machine.processes.push_back(process);
    }
    return machine;
}

std::vector<DoctorCheck> LocalChecks(const PortMap &map, const SystemView &view) {
    std::vector<DoctorCheck> checks = MapChecks(map);
    const MachineFacts machine = ReadMachineFacts(view);
    for (const uint32_t n : CandidatePorts(map)) {
        const std::vector<DoctorCheck> port = PortChecks(n, ReadDeviceFacts(view, map.Port(n).device), machine,
                                                         view.accounts);
        checks.insert(checks.end(), port.begin(), port.end());
    }
    const std::vector<DoctorCheck> services = ServiceChecks(machine);
    checks.insert(checks.end(), services.begin(), services.end());
    return checks;
}

}  // namespace kormelt::tool
