// The USB adapter's latency timer on a /sys-like tree of the test's own,
// whose adapters are pseudo-terminals known by their device numbers: no
// timer of this machine's is touched.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pty.h"
#include "tests/support/temp_file.h"
#include "tools/kormelt/adapter_latency.h"

using kormelt::tool::AdapterLatency;

namespace {

constexpr char SCAN_ROOT_VARIABLE[] = "KORMELT_SCAN_ROOT";
constexpr char DEFAULT_TIMER[] = "16\n";  // what the drivers start with

class AdapterLatencyTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = TempRoot() + "/kormelt-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root_ = templ;
        ASSERT_EQ(setenv(SCAN_ROOT_VARIABLE, root_.c_str(), 1), 0);
    }
    void TearDown() override {
        EXPECT_EQ(unsetenv(SCAN_ROOT_VARIABLE), 0);
        std::error_code error;
        std::filesystem::remove_all(root_, error);
        EXPECT_FALSE(error) << error.message();
    }

    // dev/<name> leads to a pseudo-terminal whose device number the tty
    // class entry gives; a USB serial port has its latency timer.
    std::string Tty(const std::string &name, bool usb_serial) {
        ptys_.push_back(std::make_unique<Pty>());
        const std::string pty = ptys_.back()->path();
        EXPECT_FALSE(pty.empty());
        struct stat info {};
        EXPECT_EQ(stat(pty.c_str(), &info), 0);
        std::filesystem::create_directories(root_ + "/dev");
        const std::string device = root_ + "/dev/" + name;
        EXPECT_EQ(symlink(pty.c_str(), device.c_str()), 0);
        Write("/sys/class/tty/" + name + "/dev",
              std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)) + "\n");
        if (usb_serial) {
            Write(Timer(name), DEFAULT_TIMER);
        }
        return device;
    }
    std::string Timer(const std::string &name) const {
        return "/sys/bus/usb-serial/devices/" + name + "/latency_timer";
    }
    void Write(const std::string &path, const std::string &text) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream file(root_ + path, std::ios::trunc);
        file << text;
        ASSERT_TRUE(file.good()) << path;
    }
    std::string Read(const std::string &path) const {
        std::ifstream file(root_ + path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool Exists(const std::string &path) const { return std::filesystem::exists(root_ + path); }

    std::string root_;
    std::vector<std::unique_ptr<Pty>> ptys_;
};

TEST_F(AdapterLatencyTree, LoweredForTheRunAndPutBackOnce) {
    const std::string device = Tty("ttyUSB0", true);
    Tty("ttyUSB1", true);  // another adapter, left alone
    const std::string by_id = root_ + "/dev/usb-Maker_Serial-if00-port0";
    ASSERT_EQ(symlink(device.c_str(), by_id.c_str()), 0);
    for (const std::string &path : {device, by_id}) {
        SCOPED_TRACE(path);
        AdapterLatency latency;
        latency.Lower(path);
        EXPECT_EQ(Read(Timer("ttyUSB0")), "1\n");
        EXPECT_EQ(Read(Timer("ttyUSB1")), DEFAULT_TIMER);
        latency.Restore();
        EXPECT_EQ(Read(Timer("ttyUSB0")), DEFAULT_TIMER);
        // Put back once: a value set since is not overwritten.
        Write(Timer("ttyUSB0"), "7\n");
        latency.Restore();
        EXPECT_EQ(Read(Timer("ttyUSB0")), "7\n");
        Write(Timer("ttyUSB0"), DEFAULT_TIMER);
    }
}

TEST_F(AdapterLatencyTree, PutBackWhenTheRunEndsAnyOtherWay) {
    const std::string device = Tty("ttyUSB0", true);
    {
        AdapterLatency latency;
        latency.Lower(device);
        ASSERT_EQ(Read(Timer("ttyUSB0")), "1\n");
    }
    EXPECT_EQ(Read(Timer("ttyUSB0")), DEFAULT_TIMER);
}

TEST_F(AdapterLatencyTree, WhatOffersNoTimerToLowerIsLeftAsItIs) {
    struct Case {
        const char *what;
        std::string timer_text;  // what the adapter's timer holds, "" for no timer file
        bool usb_serial;
    };
    const Case cases[] = {
        {"a UART, no USB serial port", "", false},
        {"a USB serial port whose driver has no timer", "", true},
        {"already at its least", "1\n", true},
        {"at zero", "0\n", true},
        {"no number", "fast\n", true},
        {"a number too long to be one", "1234567890123456789012\n", true},
    };
    int k = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "ttyUSB" + std::to_string(k++);
        const std::string device = Tty(name, c.usb_serial);
        if (c.usb_serial) {
            std::filesystem::remove(root_ + Timer(name));
        }
        if (!c.timer_text.empty()) {
            Write(Timer(name), c.timer_text);
        }
        {
            AdapterLatency latency;
            latency.Lower(device);
            EXPECT_EQ(Read(Timer(name)), c.timer_text);
            // Nothing to put back: a value set meanwhile stays.
            if (!c.timer_text.empty()) {
                Write(Timer(name), "9\n");
            }
        }
        EXPECT_EQ(Exists(Timer(name)), !c.timer_text.empty()) << "a timer was made where there was none";
        if (!c.timer_text.empty()) {
            EXPECT_EQ(Read(Timer(name)), "9\n");
        }
    }
}

TEST_F(AdapterLatencyTree, AnAdapterUnpluggedDuringTheRunGetsNoTimerMadeForIt) {
    struct Case {
        const char *what;
        std::string removed;  // what leaves the tree during the run
    };
    const Case cases[] = {
        {"its port entry gone", "/sys/bus/usb-serial/devices/ttyUSB0"},
        // Its tty name given meanwhile to a port whose driver has no timer.
        {"its timer gone", Timer("ttyUSB0")},
    };
    const std::string device = Tty("ttyUSB0", true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Write(Timer("ttyUSB0"), DEFAULT_TIMER);
        AdapterLatency latency;
        latency.Lower(device);
        ASSERT_EQ(Read(Timer("ttyUSB0")), "1\n");
        std::filesystem::remove_all(root_ + c.removed);
        latency.Restore();
        EXPECT_FALSE(Exists(Timer("ttyUSB0"))) << "the restore made a timer of its own";
    }
}

}  // namespace
