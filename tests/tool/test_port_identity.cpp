// The identity of serial devices as sysfs tells it, on a tree of the test's
// own shaped like a real machine's: a USB adapter behind a hub, an ACM
// device, a CH340 that reports no serial number, built-in UARTs on the PNP
// bus and on the platform bus. The links are relative, as the kernel makes
// them; the device nodes lead to pseudo-terminals.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty.h"
#include "tools/kormelt/port_scan.h"

using namespace kormelt::tool;

namespace {

constexpr char USB_BUS[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

class PortIdentityTree : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root_ = templ;
        Dir("/dev/serial/by-id");
        Dir("/sys/class/tty/console");
        Write("/sys/class/tty/console/active", "tty0\n");
        // The root hub and a hub of its own are USB devices too: the walk
        // must stop at the nearest one.
        Attributes(USB_BUS, {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"product", "xHCI Host Controller"}});
        Attributes(std::string(USB_BUS) + "/1-1", {{"idVendor", "05e3"}, {"idProduct", "0610"}, {"product", "USB2.0 Hub"}});
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(root_, error);
        EXPECT_FALSE(error) << error.message();
    }

    void Dir(const std::string &path) {
        std::error_code error;
        std::filesystem::create_directories(root_ + path, error);
        ASSERT_FALSE(error) << path << ": " << error.message();
    }
    void Write(const std::string &path, const std::string &text) {
        std::ofstream file(root_ + path);
        file << text;
        ASSERT_TRUE(file.good()) << path;
    }
    void Link(const std::string &target, const std::string &path) {
        ASSERT_EQ(symlink(target.c_str(), (root_ + path).c_str()), 0) << path;
    }
    void Attributes(const std::string &dir, const std::map<std::string, std::string> &attributes) {
        Dir(dir);
        for (const auto &[name, value] : attributes) {
            Write(dir + "/" + name, value + "\n");
        }
    }

    // The kernel's tty under device_dir (relative to /sys/devices), its class
    // link, its "device" link up to device_link's target, and /dev/<name>
    // leading to a pseudo-terminal.
    void Tty(const std::string &name, const std::string &device_dir, const std::string &device_link) {
        const std::string tty_dir = "/sys/devices/" + device_dir + "/tty/" + name;
        Dir(tty_dir);
        Write(tty_dir + "/dev", "188:0\n");
        Link(device_link, tty_dir + "/device");
        Link("../../devices/" + device_dir + "/tty/" + name, "/sys/class/tty/" + name);
        ptys_.push_back(std::make_unique<Pty>());
        ASSERT_FALSE(ptys_.back()->path().empty());
        Link(ptys_.back()->path(), "/dev/" + name);
    }

    // A USB serial adapter: the device directory under the hub with its
    // attributes, the interface below it, and the driver's port below that,
    // as usb-serial drivers (FTDI, CH340, CP210x) lay it out.
    void UsbSerial(const std::string &name, const std::string &usb_device,
                   const std::map<std::string, std::string> &attributes) {
        const std::string bus = std::string(USB_BUS).substr(std::string("/sys/devices/").size());
        const std::string parent = usb_device.rfind("1-1.", 0) == 0 ? bus + "/1-1/" : bus + "/";
        Attributes("/sys/devices/" + parent + usb_device, attributes);
        const std::string interface = usb_device + ":1.0";
        Attributes("/sys/devices/" + parent + usb_device + "/" + interface, {{"bInterfaceNumber", "00"}});
        Tty(name, parent + usb_device + "/" + interface + "/" + name, "../../../" + name);
    }

    // A CDC ACM device: the tty hangs straight below the interface.
    void Acm(const std::string &name, const std::string &usb_device,
             const std::map<std::string, std::string> &attributes) {
        const std::string bus = std::string(USB_BUS).substr(std::string("/sys/devices/").size());
        Attributes("/sys/devices/" + bus + "/1-1/" + usb_device, attributes);
        const std::string interface = usb_device + ":1.0";
        Attributes("/sys/devices/" + bus + "/1-1/" + usb_device + "/" + interface, {{"bInterfaceNumber", "00"}});
        Tty(name, bus + "/1-1/" + usb_device + "/" + interface, "../../../" + interface);
    }

    // A UART of the machine: its type report in the tty's directory.
    void Uart(const std::string &name, const std::string &device_dir, const std::string &device_name) {
        Tty(name, device_dir, "../../../" + device_name);
        Write("/sys/devices/" + device_dir + "/tty/" + name + "/type", "4\n");
    }

    void RealMachine() {
        UsbSerial("ttyUSB0", "1-1.2",
                  {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A50285BI"}, {"manufacturer", "FTDI"},
                   {"product", "FT232R USB UART"}});
        Link("../../ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        UsbSerial("ttyUSB1", "1-4", {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB Serial"}});
        Acm("ttyACM0", "1-1.3",
            {{"idVendor", "2e8a"}, {"idProduct", "000a"}, {"serial", "E6605481DB318D34"}, {"manufacturer", "Raspberry Pi"},
             {"product", "Pico"}});
        Uart("ttyS0", "pnp0/00:01", "00:01");
        Uart("ttyS1", "platform/serial8250", "serial8250");
    }

    std::string Dev(const std::string &name) const { return root_ + "/dev/" + name; }

    std::string root_;
    std::vector<std::unique_ptr<Pty>> ptys_;
};

std::string Describe(const PortIdentity &id) {
    return "{" + id.location + ", " + id.vendor_id + ":" + id.product_id + ", " + id.serial + ", " + id.manufacturer +
           ", " + id.product + "}";
}

TEST_F(PortIdentityTree, EachKindOfPortGetsWhatTheKernelKnows) {
    RealMachine();
    struct Case {
        const char *name;
        PortIdentity expected;
        bool adapter;
    };
    const std::vector<Case> cases = {
        {"ttyUSB0", {"1-1.2:1.0", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART"}, true},
        {"ttyUSB1", {"1-4:1.0", "1a86", "7523", "", "", "USB Serial"}, true},  // no serial, no maker
        {"ttyACM0", {"1-1.3:1.0", "2e8a", "000a", "E6605481DB318D34", "Raspberry Pi", "Pico"}, true},
        {"ttyS0", {}, false},  // no USB device above a UART of the machine
        {"ttyS1", {}, false},
    };
    std::map<std::string, FoundPort> found;
    for (const FoundPort &port : FindSerialPorts(root_)) {
        found[port.device] = port;
    }
    ASSERT_EQ(found.size(), cases.size());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(found.count(Dev(c.name)), 1u);
        const FoundPort &port = found[Dev(c.name)];
        EXPECT_EQ(Describe(port.identity), Describe(c.expected));
        EXPECT_EQ(port.identity.Known(), c.expected.Known());
        EXPECT_EQ(port.adapter, c.adapter);
        EXPECT_EQ(Describe(ReadPortIdentity(root_, Dev(c.name))), Describe(c.expected));
    }
    EXPECT_EQ(found[Dev("ttyUSB0")].identity.UsbId(), "0403:6001");
}

TEST_F(PortIdentityTree, AByIdLinkLeadsToTheSameIdentity) {
    RealMachine();
    const PortIdentity by_id =
        ReadPortIdentity(root_, root_ + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(Describe(by_id), Describe(ReadPortIdentity(root_, Dev("ttyUSB0"))));
    EXPECT_EQ(by_id.serial, "A50285BI");
}

TEST_F(PortIdentityTree, TheLocationNamesTheSocketNotTheDeviceNumber) {
    // The same adapter replugged into the same hub port comes back under
    // another number.
    UsbSerial("ttyUSB7", "1-1.2", {{"idVendor", "0403"}, {"idProduct", "6001"}});
    EXPECT_EQ(ReadPortIdentity(root_, Dev("ttyUSB7")).location, "1-1.2:1.0");
}

TEST_F(PortIdentityTree, WhatTheTreeDoesNotTellIsUnknown) {
    RealMachine();
    // A tty of the kernel without a device (a virtual one), a device link
    // that leads nowhere, and names the kernel does not list at all.
    Dir("/sys/devices/virtual/tty/ttyUSB9");
    Link("../../devices/virtual/tty/ttyUSB9", "/sys/class/tty/ttyUSB9");
    Dir("/sys/devices/virtual/tty/ttyUSB8");
    Link("../../../gone", "/sys/devices/virtual/tty/ttyUSB8/device");
    Link("../../devices/virtual/tty/ttyUSB8", "/sys/class/tty/ttyUSB8");
    for (const std::string &device :
         {Dev("ttyUSB9"), Dev("ttyUSB8"), Dev("ttyUSB42"), root_ + "/dev/pts/3", std::string("/dev/null/no-port")}) {
        SCOPED_TRACE(device);
        EXPECT_FALSE(ReadPortIdentity(root_, device).Known());
    }
    // An adapter that reports nothing but an empty vendor id still has its
    // place.
    UsbSerial("ttyUSB3", "1-5", {{"idVendor", ""}});
    const PortIdentity bare = ReadPortIdentity(root_, Dev("ttyUSB3"));
    EXPECT_EQ(Describe(bare), Describe({"1-5:1.0", "", "", "", "", ""}));
    // Without /sys at all, nothing is known.
    EXPECT_FALSE(ReadPortIdentity(root_ + "/dev", Dev("ttyUSB0")).Known());
}

}  // namespace
