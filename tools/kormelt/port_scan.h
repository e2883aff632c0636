// The serial devices of a Linux machine, found in /dev and /sys under a root
// directory: "/" on a real machine, a tree of its own in a test.
#pragma once

#include <string>
#include <vector>

namespace kormelt::tool {

// Where /dev, /sys and /proc are looked for: $KORMELT_SCAN_ROOT, which a
// test points at a tree of its own, else "/".
std::string ScanRoot();

struct FoundPort {
    std::string device;  // path of the device node, under the root
    std::string source;  // how it was found, for people: "USB adapter", "UART type 4"
};

// The character devices that are serial ports, in the order the tool gives
// them to COM1..COM7: USB and ACM adapters first (those named in
// /dev/serial/by-id, in the order of those names, then any other
// /dev/ttyUSB<k> and /dev/ttyACM<k> by number), then the /dev/ttyS<k> ports
// whose UART the kernel knows (a type other than 0, unknown, in
// /sys/class/tty/ttyS<k>/type), except the system console
// (/sys/class/tty/console/active). Nothing is opened.
std::vector<FoundPort> FindSerialPorts(const std::string &root);

// The root the tool looks at /dev and /sys under: $KORMELT_SCAN_ROOT, "/"
// unless a test points it at a tree of its own.
std::string ScanRoot();

// What a path from /dev or /sys gets in front of it under root: "" for "/",
// so that paths stay "/dev/..." on a real machine.
std::string RootPrefix(const std::string &root);

}  // namespace kormelt::tool
