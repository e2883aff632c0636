#include "tools/kormelt/port_scan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/common/directory_posix.h"
#include "tools/kormelt/kernel_paths.h"

namespace kormelt::tool {
namespace {

constexpr char SCAN_ROOT_VARIABLE[] = "KORMELT_SCAN_ROOT";
constexpr char SCAN_ROOT_DEFAULT[] = "/";
constexpr int UART_TYPE_UNKNOWN = 0;  // the kernel's PORT_UNKNOWN: no UART behind the name

std::vector<std::string> Names(const std::string &dir) {
    std::vector<std::string> names;
    DirectoryNames(dir, &names);  // no such directory: nothing found there
    return names;
}

bool IsCharDevice(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// The number after prefix in name ("ttyUSB12" -> 12), or -1 when name is not
// prefix followed by digits alone.
long Number(const std::string &name, const std::string &prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.size() - prefix.size() > 9) {
        return -1;
    }
    long number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The names of dir that are prefix and a number, in the order of the numbers.
std::vector<std::string> Numbered(const std::vector<std::string> &names, const std::string &prefix) {
    std::vector<std::pair<long, std::string>> numbered;
    for (const std::string &name : names) {
        const long number = Number(name, prefix);
        if (number >= 0) {
            numbered.emplace_back(number, name);
        }
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> sorted;
    for (const auto &entry : numbered) {
        sorted.push_back(entry.second);
    }
    return sorted;
}

// "a/b/../../c" -> "c", without touching the file system.
std::string Normalised(const std::string &path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part != "..") {
            parts.push_back(part);
        } else if (!parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (!absolute) {
            parts.push_back(part);  // above a relative start; "/.." is "/"
        }
    }
    std::string out = absolute ? "" : ".";
    for (const std::string &p : parts) {
        out += "/" + p;
    }
    return out.empty() ? "/" : out;
}

// Where a by-id link leads, under the same root. udev makes these links
// relative ("../../ttyUSB0"); an absolute one is taken inside the root.
bool LinkTarget(const std::string &prefix, const std::string &dir, const std::string &link, std::string *target) {
    std::string to;
    if (!LinkText(link, &to)) {
        return false;  // not a link, or gone: udev lists devices by links only
    }
    *target = to[0] == '/' ? prefix + to : dir + "/" + to;
    return true;
}

int UartType(const std::string &prefix, const std::string &name) {
    std::ifstream file(prefix + TTY_CLASS_DIR + "/" + name + "/type");
    int type = UART_TYPE_UNKNOWN;
    if (!(file >> type)) {
        return UART_TYPE_UNKNOWN;  // no report from the kernel: nothing known behind it
    }
    return type;
}

}  // namespace

std::set<std::string> ActiveConsoles(const std::string &prefix) {
    std::ifstream file(prefix + CONSOLE_LIST);
    std::set<std::string> names;
    std::string name;
    while (file >> name) {
        names.insert(name);
    }
    return names;
}

std::string ScanRoot() {
    const char *value = std::getenv(SCAN_ROOT_VARIABLE);
    return value != nullptr && *value != '\0' ? value : SCAN_ROOT_DEFAULT;
}

std::string RootPrefix(const std::string &root) {
    std::string prefix = root;
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    return prefix;
}

std::vector<FoundPort> FindSerialPorts(const std::string &root) {
    const std::string prefix = RootPrefix(root);
    std::vector<FoundPort> found;
    std::set<std::string> taken;
    // A device reached both by a by-id link and by its own name counts once.
    const auto add = [&](const std::string &device, const std::string &source, bool adapter = true) {
        const std::string path = Normalised(device);
        if (IsCharDevice(path) && taken.insert(path).second) {
            found.push_back({path, source, adapter, ReadPortIdentity(root, path)});
        }
    };

    const std::string by_id = prefix + BY_ID_DIR;
    std::vector<std::string> links = Names(by_id);
    std::sort(links.begin(), links.end());
    for (const std::string &name : links) {
        std::string target;
        if (LinkTarget(prefix, by_id, by_id + "/" + name, &target)) {
            add(target, "USB adapter " + name);
        }
    }

    const std::string dev = prefix + DEV_DIR;
    const std::vector<std::string> names = Names(dev);
    for (const std::string &name : Numbered(names, "ttyUSB")) {
        add(dev + "/" + name, "USB adapter");
    }
    for (const std::string &name : Numbered(names, "ttyACM")) {
        add(dev + "/" + name, "ACM adapter");
    }
    const std::set<std::string> consoles = ActiveConsoles(prefix);
    for (const std::string &name : Numbered(names, "ttyS")) {
        const int type = UartType(prefix, name);
        if (type != UART_TYPE_UNKNOWN && consoles.count(name) == 0) {
            add(dev + "/" + name, "UART type " + std::to_string(type), false);
        }
    }
    return found;
}

}  // namespace kormelt::tool
