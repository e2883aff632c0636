// The search for serial devices on a /dev-like tree of the test's own, whose
// device nodes are links to pseudo-terminals: nothing of this machine's
// serial ports is looked at.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty.h"
#include "tests/support/temp_file.h"
#include "tools/kormelt/port_scan.h"

using kormelt::tool::FindSerialPorts;
using kormelt::tool::FoundPort;

namespace {

class PortScan : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *dir : {"/dev", "/dev/serial", "/dev/serial/by-id", "/sys", "/sys/class", "/sys/class/tty",
                                "/sys/class/tty/console"}) {
            ASSERT_EQ(mkdir((root_ + dir).c_str(), 0755), 0) << dir;
        }
    }
    void TearDown() override { EXPECT_EQ(tree_.Remove(), ""); }

    // dev/<name> leads to a pseudo-terminal of its own.
    void Device(const std::string &name) {
        ptys_.push_back(std::make_unique<Pty>());
        ASSERT_FALSE(ptys_.back()->path().empty());
        ASSERT_EQ(symlink(ptys_.back()->path().c_str(), Dev(name).c_str()), 0) << name;
    }
    void ById(const std::string &name, const std::string &target) {
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/dev/serial/by-id/" + name).c_str()), 0) << name;
    }
    void Write(const std::string &path, const std::string &text) {
        const std::string dir = path.substr(0, path.find_last_of('/'));
        mkdir((root_ + dir).c_str(), 0755);  // may exist already
        std::ofstream file(root_ + path);
        file << text;
        ASSERT_TRUE(file.good()) << path;
    }
    void Uart(const std::string &name, int type) {
        Device(name);
        Write("/sys/class/tty/" + name + "/type", std::to_string(type) + "\n");
    }
    std::string Dev(const std::string &name) const { return root_ + "/dev/" + name; }
    std::vector<std::string> Devices() const {
        std::vector<std::string> devices;
        for (const FoundPort &port : FindSerialPorts(root_)) {
            devices.push_back(port.device);
        }
        return devices;
    }

    TempTree tree_{"kormelt-scan"};
    const std::string root_ = tree_.path();
    std::vector<std::unique_ptr<Pty>> ptys_;
};

TEST_F(PortScan, AdaptersFirstThenUartsWithoutTheConsole) {
    Uart("ttyS0", 4);  // the console
    Uart("ttyS1", 0);  // no UART behind it
    Uart("ttyS2", 4);
    Uart("ttyS10", 1);
    Device("ttyUSB10");
    Device("ttyUSB2");
    Device("ttyACM0");
    Device("ttyUSB0");
    ById("usb-Maker_B-if00-port0", "../../ttyUSB2");
    ById("usb-Maker_A-if00-port0", "../../ttyUSB10");
    Write("/sys/class/tty/console/active", "tty0 ttyS0\n");

    const std::vector<FoundPort> found = FindSerialPorts(root_);
    const std::vector<std::string> expected = {Dev("ttyUSB10"), Dev("ttyUSB2"), Dev("ttyUSB0"),
                                               Dev("ttyACM0"),  Dev("ttyS2"),   Dev("ttyS10")};
    EXPECT_EQ(Devices(), expected);
    ASSERT_EQ(found.size(), expected.size());
    EXPECT_EQ(found[0].source, "USB adapter usb-Maker_A-if00-port0");
    EXPECT_EQ(found[2].source, "USB adapter");
    EXPECT_EQ(found[3].source, "ACM adapter");
    EXPECT_EQ(found[4].source, "UART type 4");
}

TEST_F(PortScan, WhatIsNoSerialDeviceIsLeftOut) {
    Device("ttyUSB0");
    // A by-id link that leads nowhere, a regular file named like an adapter,
    // names that only start like one, and a UART without a type report.
    ById("usb-Gone-if00", "../../ttyUSB7");
    Write("/dev/ttyUSB1", "");
    Device("ttyUSBx");
    Device("ttyACM");
    Device("ttyS3");
    EXPECT_EQ(Devices(), std::vector<std::string>{Dev("ttyUSB0")});
}

TEST_F(PortScan, NothingUnderAnEmptyOrMissingRoot) {
    EXPECT_TRUE(FindSerialPorts(root_).empty());
    EXPECT_TRUE(FindSerialPorts(root_ + "/no-such-dir").empty());
}

}  // namespace
