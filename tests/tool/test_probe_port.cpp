// The probe `kormelt ports` makes of each device: it opens the device the
// way the library would, judges it and lets go of it, so that probing leaves
// nothing open and nothing locked. On pseudo-terminals and paths of the
// test's own only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pty.h"
#include "tests/support/temp_file.h"
#include "tools/kormelt/platform.h"

using kormelt::tool::PortProbe;
using kormelt::tool::PortState;
using kormelt::tool::ProbePort;

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

TEST(ProbePort, WhatIsNoSerialPortIsToldApart) {
    const TempFile regular({});
    const std::string missing = regular.path() + ".absent";
    struct Case {
        const char *name;
        std::string path;
        PortState state;
    };
    // /dev/null is a character device but no terminal; opening it is harmless.
    const std::vector<Case> cases = {
        {"missing", missing, PortState::Missing},
        {"under a file", regular.path() + "/port", PortState::Missing},
        {"regular file", regular.path(), PortState::NotTerminal},
        {"directory", "/", PortState::NotTerminal},
        {"device that is no terminal", "/dev/null", PortState::NotTerminal},
    };
    for (const Case &c : cases) {
        const size_t before = OpenDescriptors();
        EXPECT_EQ(ProbePort(c.path).state, c.state) << c.name;
        EXPECT_EQ(OpenDescriptors(), before) << c.name;
    }
}

}  // namespace
