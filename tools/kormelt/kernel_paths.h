// Where Linux shows the devices, the ttys and the processes that the port
// scan, the adapters' identity and latency timer, and doctor read. Each is a
// path on a real machine; under a scan root (KORMELT_SCAN_ROOT, for tests)
// RootPrefix(root) goes in front of it.
#pragma once

namespace kormelt::tool {

constexpr char DEV_DIR[] = "/dev";
constexpr char BY_ID_DIR[] = "/dev/serial/by-id";  // the names udev gives USB adapters
constexpr char SYS_DIR[] = "/sys";
constexpr char TTY_CLASS_DIR[] = "/sys/class/tty";  // an entry per tty, with its device number and UART type
constexpr char CONSOLE_LIST[] = "/sys/class/tty/console/active";
constexpr char USB_SERIAL_DIR[] = "/sys/bus/usb-serial/devices";  // an entry per USB serial port, by tty
constexpr char LATENCY_TIMER[] = "latency_timer";                  // in a USB serial port's entry
constexpr char PROC_DIR[] = "/proc";
constexpr char PROC_CONSOLES[] = "/proc/consoles";

}  // namespace kormelt::tool
