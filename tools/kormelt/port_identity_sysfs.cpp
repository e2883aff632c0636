#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string>

#include "tools/common/directory_posix.h"
#include "tools/kormelt/kernel_paths.h"
#include "tools/kormelt/port_scan.h"

namespace kormelt::tool {
namespace {

constexpr char USB_DEVICE_MARK[] = "idVendor";  // only a USB device directory has it
constexpr size_t ATTRIBUTE_MAX_BYTES = 256;     // more than any USB string descriptor holds
constexpr int LINK_HOPS_MAX = 8;                 // udev's chains are one or two links long
constexpr int WALK_UP_MAX = 32;                  // deeper than any device path the kernel makes

std::string BaseName(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool Exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The path with every link resolved, or empty when some part is missing.
std::string Resolved(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// The first line of a sysfs attribute without its newline, empty when the
// file is missing or unreadable: the kernel leaves out what the device does
// not report.
std::string Attribute(const std::string &dir, const char *name) {
    std::ifstream file(dir + "/" + name);
    std::string value;
    if (!std::getline(file, value)) {
        return "";
    }
    if (value.size() > ATTRIBUTE_MAX_BYTES) {
        value.resize(ATTRIBUTE_MAX_BYTES);
    }
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
        value.pop_back();
    }
    return value;
}

// The kernel's name of the tty that device is: its own name, or that of a
// device it links to as udev's links do (relative, "../../ttyUSB0"). Empty
// when none of them is a tty the kernel lists.
std::string TtyName(const std::string &prefix, const std::string &device) {
    std::string path = device;
    for (int hop = 0; hop <= LINK_HOPS_MAX; ++hop) {
        const std::string name = BaseName(path);
        if (!name.empty() && Exists(prefix + TTY_CLASS_DIR + "/" + name)) {
            return name;
        }
        std::string target;
        if (!LinkText(path, &target) || target[0] == '/') {
            return "";  // no link, or one that leaves the tree
        }
        path = Parent(path) + "/" + target;
    }
    return "";
}

}  // namespace

PortIdentity ReadPortIdentity(const std::string &root, const std::string &device) {
    PortIdentity identity;
    const std::string prefix = RootPrefix(root);
    const std::string name = TtyName(prefix, device);
    const std::string sys = Resolved(prefix + SYS_DIR);
    if (name.empty() || sys.empty()) {
        return identity;
    }
    std::string dir = Resolved(prefix + TTY_CLASS_DIR + "/" + name + "/device");
    std::string below;  // the directory the walk came up from: the USB interface once dir is the device
    for (int step = 0; step < WALK_UP_MAX && dir.size() > sys.size() && dir.compare(0, sys.size() + 1, sys + "/") == 0;
         ++step) {
        if (Exists(dir + "/" + USB_DEVICE_MARK)) {
            identity.location = BaseName(below.empty() ? dir : below);
            identity.vendor_id = Attribute(dir, "idVendor");
            identity.product_id = Attribute(dir, "idProduct");
            identity.serial = Attribute(dir, "serial");
            identity.manufacturer = Attribute(dir, "manufacturer");
            identity.product = Attribute(dir, "product");
            return identity;
        }
        below = dir;
        dir = Parent(dir);
    }
    return identity;  // no USB device above it: a UART of the machine, or a device of another bus
}

}  // namespace kormelt::tool
