// The serial devices of a Linux machine, found in /dev and /sys under a root
// directory: "/" on a real machine, a tree of its own in a test.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/kormelt/port_identity.h"

namespace kormelt::tool {

// Where /dev, /sys and /proc are looked for: $KORMELT_SCAN_ROOT, which a
// test points at a tree of its own, else "/".
std::string ScanRoot();

struct FoundPort {
    std::string device;  // path of the device node, under the root
    std::string source;  // how it was found, for people: "USB adapter", "UART type 4"
    bool adapter = true;  // a USB or ACM adapter; false for a UART built into the machine
    PortIdentity identity{};
};

// The character devices that are serial ports, in the order the tool gives
// them to COM1..COM7: USB and ACM adapters first (those named in
// /dev/serial/by-id, in the order of those names, then any other
// /dev/ttyUSB<k> and /dev/ttyACM<k> by number), then the /dev/ttyS<k> ports
// whose UART the kernel knows (a type other than 0, unknown, in
// /sys/class/tty/ttyS<k>/type), except the system console
// (/sys/class/tty/console/active). Each comes with its identity. Nothing
// is opened.
std::vector<FoundPort> FindSerialPorts(const std::string &root);

// What a path from /dev or /sys gets in front of it under root: "" for "/",
// so that paths stay "/dev/..." on a real machine.
std::string RootPrefix(const std::string &root);

// What sysfs under root tells of the adapter behind device (a path under
// root's /dev, or a link to one as udev makes them): the kernel's tty of
// that name leads through /sys/class/tty/<name>/device up to the first
// directory with an idVendor, the USB device, whose attributes are read; the
// interface directory below it is the location. Whatever is missing is
// unknown, and a built-in UART has no USB device at all.
PortIdentity ReadPortIdentity(const std::string &root, const std::string &device);

// The names of the ttys the kernel lists as the system console
// (/sys/class/tty/console/active under the prefix RootPrefix gives), none
// when it says nothing.
std::set<std::string> ActiveConsoles(const std::string &prefix);

}  // namespace kormelt::tool
