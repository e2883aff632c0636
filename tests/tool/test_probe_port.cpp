// The probe `kormelt ports` makes of each device: it opens the device the
// way the library would, judges it and lets go of it, so that probing leaves
// nothing open and nothing locked. On pseudo-terminals and paths of the
// test's own only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty.h"
#include "tests/support/temp_file.h"
#include "tools/kormelt/port_probe.h"

using namespace kormelt::tool;

namespace {

constexpr char FD_DIRECTORY[] = "/proc/self/fd";

size_t OpenDescriptors() {
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(FD_DIRECTORY)) {
        static_cast<void>(entry);
        ++count;
    }
    return count;
}

TEST(ProbePort, ProbingTwiceFindsTheSamePortFreeAndLeavesNothingOpen) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    const size_t before = OpenDescriptors();
    for (int round = 1; round <= 2; ++round) {
        const PortProbe probe = ProbePort(pty.path());
        EXPECT_EQ(probe.state, PortState::Free) << "probe " << round << ": " << probe.detail;
        EXPECT_EQ(OpenDescriptors(), before) << "probe " << round << " left a descriptor open";
    }
    // Nobody holds the lock the probes took: another opener gets it at once.
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "a probe left its lock behind";
    close(fd);
}

TEST(ProbePort, APortLockedByAnotherOpenerIsInUse) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    const int held = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const size_t before = OpenDescriptors();
    EXPECT_EQ(ProbePort(pty.path()).state, PortState::InUse);
    EXPECT_EQ(OpenDescriptors(), before);
    close(held);
    EXPECT_EQ(ProbePort(pty.path()).state, PortState::Free);
}

// A directory of the test's own, holding what is no serial port: a FIFO
// nobody writes to, a listening socket and a loop of symbolic links.
class NoSerialPorts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
        ASSERT_EQ(symlink("loop-b", Path("loop-a").c_str()), 0);
        ASSERT_EQ(symlink("loop-a", Path("loop-b").c_str()), 0);
        socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socket_path = Path("socket");
        ASSERT_LT(socket_path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
        ASSERT_EQ(bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    }
    void TearDown() override {
        if (socket_ >= 0) {
            close(socket_);
        }
        EXPECT_EQ(tree_.Remove(), "");
    }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    TempTree tree_{"kormelt-probe"};
    const std::string dir_ = tree_.path();
    int socket_ = -1;
};

TEST_F(NoSerialPorts, WhatIsNoSerialPortIsToldApartAndNamed) {
    const TempFile regular({});
    struct Case {
        const char *name;
        std::string path;
        PortState state;
        PathKind kind;  // for NotSerialPort
    };
    // /dev/null is a character device but no terminal; opening it is harmless.
    const std::vector<Case> cases = {
        {"missing", Path("absent"), PortState::Missing, PathKind::Unknown},
        {"under a file", regular.path() + "/port", PortState::Missing, PathKind::Unknown},
        {"regular file", regular.path(), PortState::NotSerialPort, PathKind::RegularFile},
        {"directory", dir_, PortState::NotSerialPort, PathKind::Directory},
        {"FIFO, never opened", Path("fifo"), PortState::NotSerialPort, PathKind::Fifo},
        {"socket", Path("socket"), PortState::NotSerialPort, PathKind::Socket},
        {"symbolic link loop", Path("loop-a"), PortState::NotSerialPort, PathKind::SymlinkLoop},
        {"device that is no terminal", "/dev/null", PortState::NotSerialPort, PathKind::NoTerminalDevice},
    };
    for (const Case &c : cases) {
        const size_t before = OpenDescriptors();
        const PortProbe probe = ProbePort(c.path);
        EXPECT_EQ(probe.state, c.state) << c.name << ": " << probe.detail;
        if (c.state == PortState::NotSerialPort) {
            EXPECT_EQ(probe.kind, c.kind) << c.name << " was named " << PathKindText(probe.kind);
        }
        EXPECT_EQ(OpenDescriptors(), before) << c.name;
    }
}

// How long PortGone looks again at a path that is still there, and a
// generous bound on it for a busy machine.
constexpr auto GONE_SETTLE = std::chrono::milliseconds(500);
constexpr auto GONE_SETTLE_LATE = std::chrono::milliseconds(3000);

TEST(PortGone, APathThatLeadsNowhereIsGoneAndADevicePresentIsNot) {
    TempDir dir;
    auto pty = std::make_unique<Pty>();
    ASSERT_FALSE(pty->path().empty());
    const std::string link = dir.Entry("ttyUSB0");
    ASSERT_EQ(symlink(pty->path().c_str(), link.c_str()), 0);
    const std::string dangling = dir.Entry("by-id-link");
    ASSERT_EQ(symlink(dir.Entry("removed-device").c_str(), dangling.c_str()), 0);
    struct Case {
        const char *what;
        std::string path;
        bool gone;
    };
    const Case cases[] = {
        {"a device that is there", pty->path(), false},
        {"a link to it", link, false},
        {"a path that does not exist", dir.Entry("absent"), true},
        {"a path under a file", "/dev/null/port", true},
        {"a link whose device has left", dangling, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortGone(c.path), c.gone);
        const auto took = std::chrono::steady_clock::now() - start;
        if (!c.gone) {
            EXPECT_GE(took, GONE_SETTLE) << "a device still there was not looked at again";
        }
        EXPECT_LT(took, GONE_SETTLE_LATE);
    }

    // A device that leaves a moment after the line failed: the pseudo-
    // terminal's node goes with its master.
    std::thread unplug([&pty] {
        std::this_thread::sleep_for(GONE_SETTLE / 5);
        pty.reset();
    });
    EXPECT_TRUE(PortGone(link)) << "a device that left during the look was taken for present";
    unplug.join();
}

}  // namespace
