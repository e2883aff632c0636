// The POSIX serial port on pseudo-terminals: the port opens the slave side
// through KORMELT_COM<n>, the test plays the device on the master side. Every
// platform call goes through a counting table, so a test can also see what
// the port asked for and make any one call fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/child_call.h"
#include "tests/support/posix_port_test.h"
#include "link/frame.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

namespace {

constexpr uint32_t TEST_PORT = 3;            // the fixture's pty is COM3
constexpr uint32_t SHORT_TIMEOUT_MS = 200;   // a silence the suite can afford to wait out
constexpr uint32_t LONG_TIMEOUT_MS = 5000;   // longer than any "at once" bound below
constexpr int64_t AT_ONCE_MS = 1000;         // generous bound for what should take no time
constexpr int MASTER_READ_MS = 2000;         // the test's own wait for bytes on the master side
constexpr int64_t NOTHING_MORE_MS = 100;     // how long the test watches for bytes that should not come

enum Call {
    OPEN, CLOSE, FLOCK, FCNTL, TCFLUSH, TCGETATTR, TCSETATTR, CFSETISPEED, CFSETOSPEED,
    IOCTL, SERIAL_IOCTL, READ, WRITE, POLL, MALLOC, FREE, CLOCK, CALL_COUNT
};

enum class Fault {
    None,
    Fail,           // returns the call's failure value with the given errno
    ClearNonblock,  // fcntl: reports the descriptor blocking
    KeepCrtscts,    // tcgetattr: reports hardware flow control still on
    Speed9600,      // tcgetattr: reports another speed
    LateEintr,      // poll: sleeps INTERRUPT_AFTER, then fails with EINTR
    HangUp,         // poll: reports POLLHUP at once
};

constexpr auto INTERRUPT_AFTER = std::chrono::milliseconds(150);

struct Injection {
    int first = 0;  // the calls of this kind, counted from 1, that misbehave
    int last = 0;
    Fault fault = Fault::None;
    int error = 0;
};

// What the port asked of the platform since the last reset.
struct Seen {
    int count[CALL_COUNT] = {};
    Injection inject[CALL_COUNT] = {};
    int live_allocations = 0;
    std::vector<Call> order;  // every call, in the order made
    std::vector<std::string> open_paths;
    std::vector<int> open_flags;
    std::vector<int> fcntl_commands;
    std::vector<int> flock_ops;
    std::vector<std::pair<unsigned long, int>> ioctls;  // request, modem bits (0 for none)
    std::vector<std::pair<unsigned long, int>> serial_ioctls;  // request, flags
    // A driver with serial settings, for a pseudo-terminal has none: when
    // set, TIOCGSERIAL and TIOCSSERIAL read and write serial instead.
    bool serial_driver = false;
    serial_struct serial{};
    std::vector<termios> applied;                       // every tcsetattr
    std::vector<int> poll_timeouts;
    std::vector<int> closed;
    size_t write_chunk = 0;  // nonzero: odd writes take this many bytes at most, even ones none
};

Seen seen;

int TotalCalls() {
    int total = 0;
    for (int c : seen.count) {
        total += c;
    }
    return total;
}

// Whether the device behind fd is held against other openers (TIOCEXCL).
bool Exclusive(int fd) {
    int on = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &on), 0);
    return on != 0;
}

std::string ModemBits(int bits) {
    std::string text;
    for (const auto &[bit, name] : {std::make_pair(TIOCM_DTR, "DTR"), std::make_pair(TIOCM_RTS, "RTS")}) {
        if ((bits & bit) != 0) {
            text += std::string(" ") + name;
        }
    }
    return text;
}

std::string IoctlStep(unsigned long request, int bits) {
    switch (request) {
    case TIOCEXCL:
        return "TIOCEXCL";
    case TIOCNXCL:
        return "TIOCNXCL";
    case TIOCMBIS:
        return "TIOCMBIS" + ModemBits(bits);
    case TIOCMBIC:
        return "TIOCMBIC" + ModemBits(bits);
    default:
        return "ioctl " + std::to_string(request);
    }
}

std::string SerialStep(unsigned long request, int flags) {
    const std::string name = request == TIOCGSERIAL ? "TIOCGSERIAL" : request == TIOCSSERIAL ? "TIOCSSERIAL" : "?";
    if (request == TIOCGSERIAL && flags == -1) {
        return name;  // refused: nothing got
    }
    return name + ((flags & ASYNC_LOW_LATENCY) != 0 ? " low latency" : " normal latency");
}

// Every call since the last reset in the order made, the ioctls with what
// they asked for, the clock left out: it is read wherever time is kept.
std::vector<std::string> Steps() {
    static const char *const NAMES[CALL_COUNT] = {
        "open",        "close", "flock", "fcntl", "tcflush", "tcgetattr", "tcsetattr", "cfsetispeed",
        "cfsetospeed", "ioctl", "serial_ioctl", "read", "write", "poll", "malloc", "free", "clock_gettime"};
    std::vector<std::string> steps;
    size_t ioctl_at = 0;
    size_t serial_at = 0;
    size_t flock_at = 0;
    for (const Call call : seen.order) {
        switch (call) {
        case CLOCK:
            break;
        case IOCTL:
            steps.push_back(IoctlStep(seen.ioctls[ioctl_at].first, seen.ioctls[ioctl_at].second));
            ++ioctl_at;
            break;
        case SERIAL_IOCTL:
            steps.push_back(SerialStep(seen.serial_ioctls[serial_at].first, seen.serial_ioctls[serial_at].second));
            ++serial_at;
            break;
        case FLOCK: {
            const int op = seen.flock_ops[flock_at++];
            steps.push_back(op == LOCK_UN ? "flock LOCK_UN" : op == (LOCK_EX | LOCK_NB) ? "flock LOCK_EX|LOCK_NB"
                                                                                          : "flock ?");
            break;
        }
        default:
            steps.push_back(NAMES[call]);
        }
    }
    return steps;
}

// Counts the call and tells how it should misbehave, errno already set.
Fault Next(Call call) {
    const int n = ++seen.count[call];
    seen.order.push_back(call);
    const Injection &i = seen.inject[call];
    if (i.fault == Fault::None || n < i.first || n > i.last) {
        return Fault::None;
    }
    if (i.fault == Fault::Fail) {
        errno = i.error;
    }
    return i.fault;
}

void InjectNth(Call call, int nth, Fault fault, int error = 0) {
    seen.inject[call] = Injection{nth, nth, fault, error};
}

// Every call of this kind from now on fails.
void FailFromNow(Call call, int error) {
    seen.inject[call] = Injection{seen.count[call] + 1, INT_MAX, Fault::Fail, error};
}

int CountedOpen(const char *path, int flags) {
    seen.open_paths.emplace_back(path);
    seen.open_flags.push_back(flags);
    return Next(OPEN) == Fault::Fail ? -1 : POSIX_REAL_CALLS.open(path, flags);
}

int CountedClose(int fd) {
    seen.closed.push_back(fd);
    return Next(CLOSE) == Fault::Fail ? -1 : POSIX_REAL_CALLS.close(fd);
}

int CountedFlock(int fd, int operation) {
    seen.flock_ops.push_back(operation);
    return Next(FLOCK) == Fault::Fail ? -1 : POSIX_REAL_CALLS.flock(fd, operation);
}

int CountedFcntl(int fd, int command, int argument) {
    seen.fcntl_commands.push_back(command);
    const Fault fault = Next(FCNTL);
    if (fault == Fault::Fail) {
        return -1;
    }
    const int result = POSIX_REAL_CALLS.fcntl(fd, command, argument);
    return fault == Fault::ClearNonblock && result >= 0 ? result & ~O_NONBLOCK : result;
}

int CountedTcflush(int fd, int queues) {
    return Next(TCFLUSH) == Fault::Fail ? -1 : POSIX_REAL_CALLS.tcflush(fd, queues);
}

int CountedTcgetattr(int fd, termios *settings) {
    const Fault fault = Next(TCGETATTR);
    if (fault == Fault::Fail) {
        return -1;
    }
    const int result = POSIX_REAL_CALLS.tcgetattr(fd, settings);
    if (result == 0 && fault == Fault::KeepCrtscts) {
        settings->c_cflag |= CRTSCTS;
    }
    if (result == 0 && fault == Fault::Speed9600) {
        EXPECT_EQ(cfsetispeed(settings, B9600), 0);
        EXPECT_EQ(cfsetospeed(settings, B9600), 0);
    }
    return result;
}

int CountedTcsetattr(int fd, int when, const termios *settings) {
    seen.applied.push_back(*settings);
    return Next(TCSETATTR) == Fault::Fail ? -1 : POSIX_REAL_CALLS.tcsetattr(fd, when, settings);
}

int CountedCfsetispeed(termios *settings, speed_t speed) {
    return Next(CFSETISPEED) == Fault::Fail ? -1 : POSIX_REAL_CALLS.cfsetispeed(settings, speed);
}

int CountedCfsetospeed(termios *settings, speed_t speed) {
    return Next(CFSETOSPEED) == Fault::Fail ? -1 : POSIX_REAL_CALLS.cfsetospeed(settings, speed);
}

int CountedIoctl(int fd, unsigned long request, int *argument) {
    seen.ioctls.emplace_back(request, argument != nullptr ? *argument : 0);
    return Next(IOCTL) == Fault::Fail ? -1 : POSIX_REAL_CALLS.ioctl(fd, request, argument);
}

// Logs the request with the flags handed in (TIOCSSERIAL) or handed out
// (TIOCGSERIAL, -1 when it failed).
int CountedSerialIoctl(int fd, unsigned long request, serial_struct *argument) {
    int result = 0;
    if (Next(SERIAL_IOCTL) == Fault::Fail) {
        result = -1;
    } else if (!seen.serial_driver) {
        result = POSIX_REAL_CALLS.serial_ioctl(fd, request, argument);
    } else if (request == TIOCGSERIAL) {
        *argument = seen.serial;
    } else {
        seen.serial = *argument;
    }
    const int error = errno;
    const bool handed_out = request == TIOCGSERIAL;
    seen.serial_ioctls.emplace_back(request, handed_out && result != 0 ? -1 : argument->flags);
    errno = error;
    return result;
}

ssize_t CountedRead(int fd, void *buffer, size_t count) {
    return Next(READ) == Fault::Fail ? -1 : POSIX_REAL_CALLS.read(fd, buffer, count);
}

ssize_t CountedWrite(int fd, const void *buffer, size_t count) {
    if (Next(WRITE) == Fault::Fail) {
        return -1;
    }
    if (seen.write_chunk > 0) {
        if (seen.count[WRITE] % 2 == 0) {
            errno = EAGAIN;
            return -1;
        }
        count = std::min(count, seen.write_chunk);
    }
    return POSIX_REAL_CALLS.write(fd, buffer, count);
}

int CountedPoll(pollfd *fds, nfds_t count, int timeout_ms) {
    seen.poll_timeouts.push_back(timeout_ms);
    switch (Next(POLL)) {
    case Fault::Fail:
        return -1;
    case Fault::LateEintr:
        std::this_thread::sleep_for(INTERRUPT_AFTER);
        errno = EINTR;
        return -1;
    case Fault::HangUp:
        fds[0].revents = POLLHUP;
        return 1;
    default:
        return POSIX_REAL_CALLS.poll(fds, count, timeout_ms);
    }
}

void *CountedMalloc(size_t size) {
    if (Next(MALLOC) == Fault::Fail) {
        return nullptr;
    }
    void *memory = POSIX_REAL_CALLS.malloc(size);
    seen.live_allocations += memory != nullptr;
    return memory;
}

void CountedFree(void *memory) {
    Next(FREE);
    seen.live_allocations -= memory != nullptr;
    POSIX_REAL_CALLS.free(memory);
}

int CountedClock(clockid_t clock, timespec *now) {
    return Next(CLOCK) == Fault::Fail ? -1 : POSIX_REAL_CALLS.clock_gettime(clock, now);
}

// The serial calls counted; the network ones stay unset, as no test here
// reaches them.
constexpr kormelt::PosixCalls CountedCalls() {
    kormelt::PosixCalls calls;
    calls.open = CountedOpen;
    calls.close = CountedClose;
    calls.flock = CountedFlock;
    calls.fcntl = CountedFcntl;
    calls.tcflush = CountedTcflush;
    calls.tcgetattr = CountedTcgetattr;
    calls.tcsetattr = CountedTcsetattr;
    calls.cfsetispeed = CountedCfsetispeed;
    calls.cfsetospeed = CountedCfsetospeed;
    calls.ioctl = CountedIoctl;
    calls.serial_ioctl = CountedSerialIoctl;
    calls.read = CountedRead;
    calls.write = CountedWrite;
    calls.poll = CountedPoll;
    calls.malloc = CountedMalloc;
    calls.free = CountedFree;
    calls.clock_gettime = CountedClock;
    return calls;
}

constexpr kormelt::PosixCalls COUNTED_CALLS = CountedCalls();

void ResetSeam() {
    seen = Seen{};
    PosixCall = COUNTED_CALLS;
}

int OpenDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        ADD_FAILURE() << "cannot list /proc/self/fd";
        return -1;
    }
    int count = 0;
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

Bytes AllByteValues() {
    Bytes bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

// A pseudo-terminal pair: the port opens the slave as COM3, the test holds
// the master (the device's end) and a slave descriptor of its own to watch
// the line from the port's side.
class PosixPort : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSeam();
        for (uint32_t n = kormelt::PORT_NUMBER_MIN; n <= kormelt::PORT_NUMBER_MAX; ++n) {
            ASSERT_EQ(unsetenv(PortVariable(n).c_str()), 0);
        }
        NewPty();
    }

    // A fresh pair as COM3, the old one closed.
    void NewPty() {
        CloseMaster();
        if (slave_ >= 0) {
            close(slave_);
            slave_ = -1;
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const char *name = ptsname(master_);
        ASSERT_NE(name, nullptr);
        slave_path_ = name;
        ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
        slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(slave_, 0);
        ASSERT_EQ(setenv(PortVariable(TEST_PORT).c_str(), slave_path_.c_str(), 1), 0);
    }

    void TearDown() override {
        PosixCall = POSIX_REAL_CALLS;
        if (port_ != nullptr) {
            EXPECT_EQ(PortClose(port_), STATUS_OK);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
        CloseMaster();
    }

    void OpenPort() {
        ASSERT_EQ(PortOpen(&port_, TEST_PORT), STATUS_OK);
        ASSERT_NE(port_, nullptr);
    }

    void ClosePort() {
        ASSERT_EQ(PortClose(port_), STATUS_OK);
        port_ = nullptr;
    }

    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Bytes from the device, returned once they wait on the port's side.
    void DeviceSends(const Bytes &bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        pollfd ready{slave_, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, MASTER_READ_MS), 1);
    }

    // Up to count bytes that reach the device within wait_ms.
    Bytes DeviceReceives(size_t count, int64_t wait_ms = MASTER_READ_MS) {
        Bytes got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && MsSince(start) < wait_ms) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) {
                continue;
            }
            uint8_t buffer[4096];
            const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            }
        }
        return got;
    }

    // Settings as far from the port's own as a line can be: 7E2 at 9600
    // baud, flow control, translation, echo and a console's line editing.
    void SetCookedLine() {
        termios cooked{};
        ASSERT_EQ(tcgetattr(slave_, &cooked), 0);
        cooked.c_cflag = (cooked.c_cflag & ~(CSIZE | HUPCL)) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
        cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
        cooked.c_cc[VMIN] = 5;
        cooked.c_cc[VTIME] = 7;
        ASSERT_EQ(cfsetispeed(&cooked, B9600), 0);
        ASSERT_EQ(cfsetospeed(&cooked, B9600), 0);
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &cooked), 0);
    }

    termios LineNow() const {
        termios now{};
        EXPECT_EQ(tcgetattr(slave_, &now), 0);
        return now;
    }

    static void ExpectSameSettings(const termios &now, const termios &before) {
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_oflag, before.c_oflag);
        EXPECT_EQ(now.c_cflag, before.c_cflag);
        EXPECT_EQ(now.c_lflag, before.c_lflag);
        EXPECT_EQ(cfgetispeed(&now), cfgetispeed(&before));
        EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&before));
        for (size_t i = 0; i < NCCS; ++i) {
            EXPECT_EQ(now.c_cc[i], before.c_cc[i]) << "c_cc[" << i << "]";
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    PortRecord *port_ = nullptr;
};

TEST_F(PosixPort, RefusesPortNumbersOutsideTheRangeWithoutAnyPlatformCall) {
    for (uint32_t n : {0u, 65u, 1000u, UINT32_MAX}) {
        SCOPED_TRACE(n);
        ResetSeam();
        PortRecord sentinel{};
        PortRecord *record = &sentinel;
        EXPECT_EQ(PortOpen(&record, n), STATUS_PORT_NUMBER);
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(TotalCalls(), 0);
    }
}

TEST_F(PosixPort, NamesComNFromItsVariableOrAsTtySNMinusOne) {
    struct Case {
        const char *what;
        uint32_t n;
        const char *variable;  // set before the open, or null
        std::string value;
        std::string path;  // what the port opens
    };
    const std::string too_long(5000, 'x');
    const Case cases[] = {
        {"COM1 unset", 1, nullptr, "", "/dev/ttyS0"},
        {"COM7 unset", 7, nullptr, "", "/dev/ttyS6"},
        {"COM64 unset", 64, nullptr, "", "/dev/ttyS63"},
        {"empty variable", 5, "KORMELT_COM5", "", "/dev/ttyS4"},
        {"variable set", 5, "KORMELT_COM5", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM64 set", 64, "KORMELT_COM64", "/dev/serial/by-id/x", "/dev/serial/by-id/x"},
        {"COM3 does not name COM30", 30, "KORMELT_COM3", "/dev/ttyACM0", "/dev/ttyS29"},
        {"KORMELT_COM03 is not COM3", 3, "KORMELT_COM03", "/dev/ttyACM0", "/dev/ttyS2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(unsetenv(PortVariable(TEST_PORT).c_str()), 0);
        if (c.variable != nullptr) {
            ASSERT_EQ(setenv(c.variable, c.value.c_str(), 1), 0);
        }
        ResetSeam();
        InjectNth(OPEN, 1, Fault::Fail, ENOENT);
        EXPECT_EQ(PortOpen(&port_, c.n), STATUS_PORT_OPEN);
        EXPECT_EQ(port_, nullptr);
        ASSERT_EQ(seen.open_paths.size(), 1u);
        EXPECT_EQ(seen.open_paths[0], c.path);
        EXPECT_EQ(seen.live_allocations, 0);
        if (c.variable != nullptr) {
            ASSERT_EQ(unsetenv(c.variable), 0);
        }
    }

    SCOPED_TRACE("a name longer than any device path");
    ASSERT_EQ(setenv(PortVariable(TEST_PORT).c_str(), too_long.c_str(), 1), 0);
    ResetSeam();
    EXPECT_EQ(PortOpen(&port_, TEST_PORT), STATUS_PORT_OPEN);
    EXPECT_EQ(port_, nullptr);
    EXPECT_EQ(seen.count[OPEN], 0);
    EXPECT_EQ(seen.live_allocations, 0);
}

TEST_F(PosixPort, OpensComSixtyFourThroughItsVariable) {
    ASSERT_EQ(unsetenv(PortVariable(TEST_PORT).c_str()), 0);
    ASSERT_EQ(setenv("KORMELT_COM64", slave_path_.c_str(), 1), 0);
    ASSERT_EQ(PortOpen(&port_, 64), STATUS_OK);
    ASSERT_EQ(seen.open_paths.size(), 1u);
    EXPECT_EQ(seen.open_paths[0], slave_path_);
    EXPECT_EQ(port_->number, 64u);
}

TEST_F(PosixPort, RefusesMissingHeldAndForeignDevices) {
    enum class Setup { Missing, Directory, FlockedElsewhere, OpenedByPort, RegularFile };
    struct Case {
        const char *what;
        Setup setup;
        int32_t status;
    };
    const Case cases[] = {
        {"missing device", Setup::Missing, STATUS_PORT_OPEN},
        {"a directory", Setup::Directory, STATUS_PORT_OPEN},
        {"flocked by another open file description", Setup::FlockedElsewhere, STATUS_PORT_OPEN},
        {"already opened by the port", Setup::OpenedByPort, STATUS_PORT_OPEN},
        // Opens and locks like a device, but has no queues to flush.
        {"a regular file", Setup::RegularFile, STATUS_PORT_QUEUES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int holder = -1;
        PortRecord *first = nullptr;
        char file_name[] = "/tmp/kormelt-port-XXXXXX";
        std::string path = slave_path_;
        switch (c.setup) {
        case Setup::Missing:
            path = "/nonexistent/kormelt/tty";
            break;
        case Setup::Directory:
            path = "/tmp";
            break;
        case Setup::FlockedElsewhere:
            holder = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(holder, 0);
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
            break;
        case Setup::OpenedByPort:
            ASSERT_EQ(PortOpen(&first, TEST_PORT), STATUS_OK);
            break;
        case Setup::RegularFile:
            holder = mkstemp(file_name);
            ASSERT_GE(holder, 0);
            path = file_name;
            break;
        }
        ASSERT_EQ(setenv(PortVariable(TEST_PORT).c_str(), path.c_str(), 1), 0);
        const int descriptors = OpenDescriptors();
        ResetSeam();

        PortRecord *record = nullptr;
        EXPECT_EQ(PortOpen(&record, TEST_PORT), c.status);
        EXPECT_EQ(record, nullptr);
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_EQ(seen.live_allocations, 0);

        if (first != nullptr) {
            EXPECT_EQ(PortClose(first), STATUS_OK);
        }
        if (holder >= 0) {
            close(holder);
        }
        if (c.setup == Setup::RegularFile) {
            unlink(file_name);
        }
    }
}

TEST_F(PosixPort, EachFailedOpenStepHasItsStatusAndLeavesNothingBehind) {
    struct Case {
        const char *what;
        Call call;
        int nth;
        Fault fault;
        int error;
        int32_t status;
    };
    const Case cases[] = {
        {"record allocation", MALLOC, 1, Fault::Fail, ENOMEM, STATUS_NO_MEMORY},
        {"open", OPEN, 1, Fault::Fail, EACCES, STATUS_PORT_OPEN},
        {"flock", FLOCK, 1, Fault::Fail, EWOULDBLOCK, STATUS_PORT_OPEN},
        {"tcflush", TCFLUSH, 1, Fault::Fail, EIO, STATUS_PORT_QUEUES},
        {"fcntl", FCNTL, 1, Fault::Fail, EIO, STATUS_PORT_TIMEOUTS},
        {"fcntl finds the descriptor blocking", FCNTL, 1, Fault::ClearNonblock, 0,
         STATUS_PORT_TIMEOUTS},
        {"tcgetattr", TCGETATTR, 1, Fault::Fail, EIO, STATUS_PORT_STATE},
        {"cfsetispeed", CFSETISPEED, 1, Fault::Fail, EINVAL, STATUS_PORT_CONFIG},
        {"cfsetospeed", CFSETOSPEED, 1, Fault::Fail, EINVAL, STATUS_PORT_CONFIG},
        {"tcsetattr", TCSETATTR, 1, Fault::Fail, EINVAL, STATUS_PORT_CONFIG},
        {"reading the settings back", TCGETATTR, 2, Fault::Fail, EIO, STATUS_PORT_CONFIG},
        {"flow control not switched off", TCGETATTR, 2, Fault::KeepCrtscts, 0, STATUS_PORT_CONFIG},
        {"speed not taken", TCGETATTR, 2, Fault::Speed9600, 0, STATUS_PORT_CONFIG},
        {"raising DTR and RTS", IOCTL, 2, Fault::Fail, EIO, STATUS_PORT_CONFIG},
        // No modem lines: the port works without them.
        {"no modem lines (ENOTTY)", IOCTL, 2, Fault::Fail, ENOTTY, STATUS_OK},
        {"no modem lines (EINVAL)", IOCTL, 2, Fault::Fail, EINVAL, STATUS_OK},
        // Refused exclusive use: the flock claim still holds the port.
        {"TIOCEXCL refused", IOCTL, 1, Fault::Fail, EIO, STATUS_OK},
        // A signal that interrupts a step only makes the step run again.
        {"open interrupted", OPEN, 1, Fault::Fail, EINTR, STATUS_OK},
        {"tcflush interrupted", TCFLUSH, 1, Fault::Fail, EINTR, STATUS_OK},
        {"tcgetattr interrupted", TCGETATTR, 1, Fault::Fail, EINTR, STATUS_OK},
        {"tcsetattr interrupted", TCSETATTR, 1, Fault::Fail, EINTR, STATUS_OK},
        {"reading back interrupted", TCGETATTR, 2, Fault::Fail, EINTR, STATUS_OK},
        {"raising DTR and RTS interrupted", IOCTL, 2, Fault::Fail, EINTR, STATUS_OK},
        {"TIOCEXCL interrupted", IOCTL, 1, Fault::Fail, EINTR, STATUS_OK},
    };
    SetCookedLine();
    const termios found = LineNow();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int descriptors = OpenDescriptors();
        ResetSeam();
        InjectNth(c.call, c.nth, c.fault, c.error);

        PortRecord sentinel{};
        PortRecord *record = &sentinel;
        EXPECT_EQ(PortOpen(&record, TEST_PORT), c.status);
        EXPECT_GE(seen.count[c.call], c.nth) << "the step was not reached";
        if (c.status == STATUS_OK) {
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(PortClose(record), STATUS_OK);
        } else {
            EXPECT_EQ(record, nullptr);
        }
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_EQ(seen.live_allocations, 0);
        const int opened = seen.count[OPEN] - (c.call == OPEN ? 1 : 0);
        EXPECT_EQ(static_cast<int>(seen.closed.size()), opened);
        ExpectSameSettings(LineNow(), found);
        EXPECT_FALSE(Exclusive(slave_)) << "the device was left exclusive";
    }
}

TEST_F(PosixPort, CloseLeavesTheLineAsItWasFound) {
    SetCookedLine();
    const termios found = LineNow();
    OpenPort();
    ASSERT_NE(LineNow().c_cflag, found.c_cflag) << "open did not change the line";
    ClosePort();
    ExpectSameSettings(LineNow(), found);

    // The same for the settings a fresh pseudo-terminal starts with.
    NewPty();
    const termios fresh = LineNow();
    OpenPort();
    ClosePort();
    ExpectSameSettings(LineNow(), fresh);
}

TEST_F(PosixPort, SetsARawLineWhateverItFound) {
    SetCookedLine();

    OpenPort();

    termios line{};
    ASSERT_EQ(tcgetattr(slave_, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT | PARMRK), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);
}

TEST_F(PosixPort, OpenClaimsTheDeviceAndRaisesTheModemLinesCloseUndoesIt) {
    const int descriptors = OpenDescriptors();
    ASSERT_FALSE(Exclusive(slave_));
    OpenPort();
    ASSERT_EQ(seen.open_flags.size(), 1u);
    EXPECT_EQ(seen.open_flags[0], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Claimed with the lock, then held against every opener, before anything
    // else is done with the device.
    const std::vector<std::string> opening = {
        "malloc",      "open",        "flock LOCK_EX|LOCK_NB", "TIOCEXCL",    "tcflush",
        "fcntl",       "tcgetattr",   "cfsetispeed",           "cfsetospeed", "tcsetattr",
        "tcgetattr",   "TIOCMBIS DTR RTS", "TIOCGSERIAL",
    };
    EXPECT_EQ(Steps(), opening);
    EXPECT_TRUE(Exclusive(slave_)) << "the device is open to others";
    const int fd = port_->handle;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(port_->tag, kormelt::PORT_TAG_LIVE);
    EXPECT_EQ(seen.live_allocations, 1);

    const int held = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_NE(flock(held, LOCK_EX | LOCK_NB), 0) << "the port is not claimed";

    ResetSeam();
    ClosePort();
    EXPECT_EQ(seen.flock_ops, std::vector<int>{LOCK_UN});
    EXPECT_EQ(seen.closed, std::vector<int>{fd});
    EXPECT_EQ(seen.count[FREE], 1);
    EXPECT_FALSE(DescriptorOpen(fd));
    EXPECT_FALSE(Exclusive(slave_)) << "close left the device exclusive";

    EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0) << "close left the port claimed";
    close(held);
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(PosixPort, CloseAppliesTheSettingsFoundThenDropsDtrThenRtsThenLetsOthersIn) {
    enum class Found { Fresh, Cooked, HungUp };
    struct Case {
        const char *what;
        Found found;
        std::vector<std::string> closing;
    };
    const Case cases[] = {
        // A fresh pseudo-terminal has HUPCL on, the cooked line has it off:
        // either way it comes back as found, before the lines drop.
        {"fresh line",
         Found::Fresh,
         {"TIOCSSERIAL normal latency", "tcsetattr", "TIOCMBIC DTR", "TIOCMBIC RTS", "TIOCNXCL", "flock LOCK_UN",
          "close", "free"}},
        {"cooked line",
         Found::Cooked,
         {"TIOCSSERIAL normal latency", "tcsetattr", "TIOCMBIC DTR", "TIOCMBIC RTS", "TIOCNXCL", "flock LOCK_UN",
          "close", "free"}},
        // B0 would lower both lines at once: they drop in order first.
        {"hang-up speed",
         Found::HungUp,
         {"TIOCSSERIAL normal latency", "TIOCMBIC DTR", "TIOCMBIC RTS", "tcsetattr", "TIOCNXCL", "flock LOCK_UN",
          "close", "free"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NewPty();
        if (c.found == Found::Cooked) {
            SetCookedLine();
        }
        if (c.found == Found::HungUp) {
            termios hung_up = LineNow();
            ASSERT_EQ(cfsetospeed(&hung_up, B0), 0);
            ASSERT_EQ(cfsetispeed(&hung_up, B0), 0);
            ASSERT_EQ(tcsetattr(slave_, TCSANOW, &hung_up), 0);
        }
        const termios found = LineNow();
        ResetSeam();
        seen.serial_driver = true;
        OpenPort();
        const int fd = port_->handle;
        seen.order.clear();
        seen.ioctls.clear();
        seen.serial_ioctls.clear();
        seen.flock_ops.clear();
        seen.applied.clear();
        ClosePort();
        EXPECT_EQ(Steps(), c.closing);
        ASSERT_EQ(seen.applied.size(), 1u);
        ExpectSameSettings(seen.applied[0], found);
        EXPECT_EQ(seen.closed.back(), fd);
        ExpectSameSettings(LineNow(), found);
    }
}

// A driver with serial settings is the counting table's; the fixture's
// pseudo-terminal has none and answers ENOTTY, as a real one does.
TEST_F(PosixPort, LowLatencyIsSetWhereTheDriverAllowsAndPutBackAtClose) {
    const int low = static_cast<int>(ASYNC_LOW_LATENCY);
    const int other = static_cast<int>(ASYNC_SKIP_TEST);  // a flag that must survive
    struct Case {
        const char *what;
        bool driver;
        int found_flags;
        int nth;  // the serial ioctl, counted from 1, that fails; 0 for none
        int error;
        std::vector<std::string> opening;  // the serial ioctls of open
        std::vector<std::string> closing;  // and of close
        int flags_after;                   // what the driver holds after close
    };
    const std::string get = "TIOCGSERIAL normal latency";
    const std::string set_low = "TIOCSSERIAL low latency";
    const std::string set_back = "TIOCSSERIAL normal latency";
    const Case cases[] = {
        {"lowered and put back", true, other, 0, 0, {get, set_low}, {set_back}, other},
        {"already low: left alone", true, other | low, 0, 0, {"TIOCGSERIAL low latency"}, {}, other | low},
        {"a pseudo-terminal has no serial settings", false, 0, 0, 0, {"TIOCGSERIAL"}, {}, 0},
        {"reading them refused (ENOTTY)", true, other, 1, ENOTTY, {"TIOCGSERIAL"}, {}, other},
        {"reading them refused (EINVAL)", true, other, 1, EINVAL, {"TIOCGSERIAL"}, {}, other},
        {"reading them refused (EPERM)", true, other, 1, EPERM, {"TIOCGSERIAL"}, {}, other},
        {"reading them interrupted", true, other, 1, EINTR, {"TIOCGSERIAL", get, set_low}, {set_back}, other},
        {"setting them refused (EPERM)", true, other, 2, EPERM, {get, set_low}, {}, other},
        {"setting them fails (EIO)", true, other, 2, EIO, {get, set_low}, {}, other},
        {"putting them back fails (EIO)", true, other, 3, EIO, {get, set_low}, {set_back}, other | low},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int descriptors = OpenDescriptors();
        ResetSeam();
        seen.serial_driver = c.driver;
        seen.serial.flags = c.found_flags;
        seen.serial.xmit_fifo_size = 64;
        seen.serial.baud_base = 115200;
        if (c.nth > 0) {
            InjectNth(SERIAL_IOCTL, c.nth, Fault::Fail, c.error);
        }
        PortRecord *record = nullptr;
        ASSERT_EQ(PortOpen(&record, TEST_PORT), STATUS_OK);
        std::vector<std::string> opening;
        for (const auto &[request, flags] : seen.serial_ioctls) {
            opening.push_back(SerialStep(request, flags));
        }
        EXPECT_EQ(opening, c.opening);
        seen.serial_ioctls.clear();

        EXPECT_EQ(PortClose(record), STATUS_OK);
        std::vector<std::string> closing;
        for (const auto &[request, flags] : seen.serial_ioctls) {
            closing.push_back(SerialStep(request, flags));
        }
        EXPECT_EQ(closing, c.closing);
        EXPECT_EQ(seen.serial.flags, c.flags_after);
        EXPECT_EQ(seen.serial.xmit_fifo_size, 64) << "settings other than the flags were changed";
        EXPECT_EQ(seen.serial.baud_base, 115200);
        // Close went on to the end whatever the serial settings did.
        EXPECT_EQ(seen.live_allocations, 0);
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_FALSE(Exclusive(slave_));
    }
}

// What an unprivileged opener of the fixture's device got, in a child
// process; root ignores TIOCEXCL, and the tests run as root.
struct OtherOpener {
    bool dropped = false;  // the child could become nobody
    int error = 0;         // errno of its open, 0 when it opened the device
};

constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOBODY_GID = 65534;
constexpr auto OTHER_OPENER_LIMIT = std::chrono::milliseconds(5000);

OtherOpener OpenAsNobody(const std::string &path) {
    const auto opener = [&path] {
        OtherOpener got;
        got.dropped = setgroups(0, nullptr) == 0 && setgid(NOBODY_GID) == 0 && setuid(NOBODY_UID) == 0;
        if (!got.dropped) {
            return got;
        }
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        got.error = fd < 0 ? errno : 0;
        if (fd >= 0) {
            close(fd);
        }
        return got;
    };
    const std::optional<OtherOpener> got = CallInChild<OtherOpener>(opener, OTHER_OPENER_LIMIT);
    EXPECT_TRUE(got.has_value()) << "the child gave no answer";
    return got.value_or(OtherOpener{});
}

TEST_F(PosixPort, NoOtherProgramOpensThePortWhileItIsOpen) {
    // The node belongs to root; another user needs leave to open it at all.
    ASSERT_EQ(chmod(slave_path_.c_str(), 0666), 0);
    const OtherOpener before = OpenAsNobody(slave_path_);
    if (!before.dropped) {
        GTEST_SKIP() << "this process cannot drop its privileges to uid " << NOBODY_UID
                     << ", so no unprivileged opener can be tried";
    }
    ASSERT_EQ(before.error, 0) << "nobody cannot open the free device: " << std::strerror(before.error);

    OpenPort();
    const OtherOpener during = OpenAsNobody(slave_path_);
    EXPECT_EQ(during.error, EBUSY) << std::strerror(during.error);

    ClosePort();
    const OtherOpener after = OpenAsNobody(slave_path_);
    EXPECT_EQ(after.error, 0) << "close did not let others in: " << std::strerror(after.error);

    // A failed open lets others in too.
    ResetSeam();
    InjectNth(TCFLUSH, 1, Fault::Fail, EIO);
    PortRecord *record = nullptr;
    ASSERT_EQ(PortOpen(&record, TEST_PORT), STATUS_PORT_QUEUES);
    const OtherOpener failed = OpenAsNobody(slave_path_);
    EXPECT_EQ(failed.error, 0) << "a failed open left the device exclusive: " << std::strerror(failed.error);
}

// Standard input closed for as long as the object lives, then put back, so
// that the next descriptor opened is 0. Standard output and error stay: the
// test reports through them.
class StdinClosed {
public:
    StdinClosed() : saved_(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)) {
        EXPECT_GE(saved_, 0);
        EXPECT_EQ(close(STDIN_FILENO), 0);
    }
    ~StdinClosed() {
        EXPECT_EQ(dup2(saved_, STDIN_FILENO), STDIN_FILENO);
        close(saved_);
    }
    StdinClosed(const StdinClosed &) = delete;
    StdinClosed &operator=(const StdinClosed &) = delete;

private:
    int saved_;
};

TEST_F(PosixPort, OpenMovesTheDeviceOffAStandardStreamDescriptor) {
    struct Case {
        const char *what;
        Fault dup_fault;
        int32_t status;
    };
    const Case cases[] = {
        {"duplicated above 2", Fault::None, STATUS_OK},
        {"no descriptor free above 2", Fault::Fail, STATUS_PORT_OPEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StdinClosed no_stdin;
        ASSERT_FALSE(DescriptorOpen(STDIN_FILENO));
        const int descriptors = OpenDescriptors();
        ResetSeam();
        InjectNth(FCNTL, 1, c.dup_fault, EMFILE);

        PortRecord *record = nullptr;
        EXPECT_EQ(PortOpen(&record, TEST_PORT), c.status);
        ASSERT_FALSE(seen.fcntl_commands.empty());
        EXPECT_EQ(seen.fcntl_commands[0], F_DUPFD_CLOEXEC);
        ASSERT_FALSE(seen.closed.empty());
        EXPECT_EQ(seen.closed[0], STDIN_FILENO) << "the low descriptor was kept";
        EXPECT_FALSE(DescriptorOpen(STDIN_FILENO));
        if (c.status != STATUS_OK) {
            EXPECT_EQ(record, nullptr);
            EXPECT_EQ(seen.live_allocations, 0);
            EXPECT_EQ(OpenDescriptors(), descriptors);
            continue;
        }
        ASSERT_NE(record, nullptr);
        EXPECT_GE(record->handle, 3);
        EXPECT_TRUE(fcntl(record->handle, F_GETFD) & FD_CLOEXEC);
        // The duplicate holds the claim and carries the line.
        const int held = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        EXPECT_NE(flock(held, LOCK_EX | LOCK_NB), 0) << "the port is not claimed";
        close(held);
        const Bytes frame{0x7E, 0x00, 0xBE, 0xA0, 0x7E};
        size_t written = 0;
        EXPECT_TRUE(PortWrite(record, frame.data(), frame.size(), &written));
        EXPECT_EQ(DeviceReceives(frame.size()), frame);
        EXPECT_EQ(PortClose(record), STATUS_OK);
        EXPECT_EQ(OpenDescriptors(), descriptors);
    }
}

// What a child process with its standard streams closed got from PortOpen.
struct ChildOpen {
    int32_t status = -1;
    int handle = -1;
    bool standard_open[3] = {true, true, true};  // after the open
};

TEST_F(PosixPort, HostWithoutStandardStreamsGetsThePortAboveThem) {
    int report[2] = {-1, -1};
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    PosixCall = POSIX_REAL_CALLS;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only the port runs here: nothing may print, as 1 and 2 are gone.
        close(report[0]);
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        ChildOpen got;
        PortRecord *record = nullptr;
        got.status = PortOpen(&record, TEST_PORT);
        got.handle = record != nullptr ? record->handle : -1;
        for (int fd = 0; fd < 3; ++fd) {
            got.standard_open[fd] = fcntl(fd, F_GETFD) != -1;
        }
        if (record != nullptr) {
            PortClose(record);
        }
        const bool sent = write(report[1], &got, sizeof got) == static_cast<ssize_t>(sizeof got);
        _exit(sent ? 0 : 1);
    }
    close(report[1]);
    ChildOpen got;
    const ssize_t n = read(report[0], &got, sizeof got);
    close(report[0]);
    int wait_status = 0;
    ASSERT_EQ(waitpid(child, &wait_status, 0), child);
    ASSERT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof got));
    EXPECT_EQ(got.status, STATUS_OK);
    EXPECT_GE(got.handle, 3);
    for (int fd = 0; fd < 3; ++fd) {
        EXPECT_FALSE(got.standard_open[fd]) << "the port took descriptor " << fd;
    }
}

TEST_F(PosixPort, CloseRefusesARecordThatIsNotLiveAndTouchesNothing) {
    for (uint32_t tag : {kormelt::PORT_TAG_DEAD, 0u, kormelt::PORT_TAG_LIVE ^ 1u}) {
        SCOPED_TRACE(tag);
        PortRecord record{};
        record.handle = slave_;
        record.tag = tag;
        record.number = TEST_PORT;
        ResetSeam();
        EXPECT_EQ(PortClose(&record), STATUS_PORT_NOT_OPEN);
        EXPECT_EQ(TotalCalls(), 0);
        EXPECT_EQ(record.tag, tag);
        EXPECT_TRUE(DescriptorOpen(slave_));
    }
    ResetSeam();
    EXPECT_EQ(PortClose(nullptr), STATUS_PORT_NOT_OPEN);
    EXPECT_EQ(TotalCalls(), 0);
}

TEST_F(PosixPort, CloseCompletesWhenTheDeviceRefusesEverything) {
    seen.serial_driver = true;  // so that there is low latency to put back
    OpenPort();
    ASSERT_TRUE(port_->low_latency);
    const int fd = port_->handle;
    for (Call call : {SERIAL_IOCTL, TCSETATTR, IOCTL, FLOCK, CLOSE}) {
        FailFromNow(call, EIO);
    }
    EXPECT_EQ(PortClose(port_), STATUS_OK);
    port_ = nullptr;
    EXPECT_EQ(seen.live_allocations, 0);
    EXPECT_EQ(seen.closed.back(), fd);
    for (Call call : {SERIAL_IOCTL, TCSETATTR, IOCTL, FLOCK}) {
        EXPECT_GT(seen.count[call], 0) << "close skipped a step after a failure: " << call;
    }
    // The injected failures left the descriptor open and the device exclusive.
    EXPECT_EQ(ioctl(fd, TIOCNXCL), 0);
    close(fd);
}

TEST_F(PosixPort, ReadReturnsAWaitingByteAtOnce) {
    OpenPort();
    DeviceSends({0x41, 0x42, 0x43});
    ResetSeam();
    for (uint8_t expected : {0x41, 0x42, 0x43}) {
        uint8_t byte = 0;
        EXPECT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), STATUS_OK);
        EXPECT_EQ(byte, expected);
    }
    EXPECT_EQ(seen.count[POLL], 0) << "waited although a byte was there";
    EXPECT_EQ(seen.count[READ], 1) << "bytes that arrived together take one read";
}

TEST_F(PosixPort, AfterARequestTheReplyTakesOneWaitAndOneRead) {
    const Bytes request{0x7E, 0x00, 0xBE, 0xA0, 0x7E};
    const Bytes reply{0x7E, 0x06, 0x4F, 0x9B, 0x7E};
    for (bool reply_late : {true, false}) {
        SCOPED_TRACE(reply_late ? "reply comes during the wait" : "reply already there");
        OpenPort();
        size_t written = 0;
        ASSERT_TRUE(PortWrite(port_, request.data(), request.size(), &written));
        ASSERT_EQ(DeviceReceives(request.size()), request);
        std::thread device;
        if (reply_late) {
            device = std::thread([this, &reply] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_EQ(write(master_, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
            });
        } else {
            DeviceSends(reply);
        }
        ResetSeam();
        Bytes got;
        for (size_t i = 0; i < reply.size(); ++i) {
            uint8_t byte = 0;
            ASSERT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), STATUS_OK) << i;
            got.push_back(byte);
        }
        if (device.joinable()) {
            device.join();
        }
        EXPECT_EQ(got, reply);
        EXPECT_EQ(seen.count[POLL], 1);
        EXPECT_EQ(seen.count[READ], 1) << "a read before the reply could have come";
        ClosePort();
    }
}

TEST_F(PosixPort, OpenDiscardsBytesLeftOnTheLine) {
    // The fresh pty is still line-buffered: a line end makes the bytes visible.
    DeviceSends({0x7E, 0x01, 0x02, '\n'});
    OpenPort();
    uint8_t byte = 0;
    EXPECT_EQ(PortReadByte(port_, &byte, 0), STATUS_TIMEOUT);
}

TEST_F(PosixPort, BytesCrossTheLineUnchangedBothWays) {
    OpenPort();
    const Bytes all = AllByteValues();

    DeviceSends(all);
    Bytes got;
    for (size_t i = 0; i < all.size(); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), STATUS_OK) << i;
        got.push_back(byte);
    }
    EXPECT_EQ(got, all);

    size_t written = 0;
    EXPECT_TRUE(PortWrite(port_, all.data(), all.size(), &written));
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(DeviceReceives(all.size()), all);
    EXPECT_EQ(DeviceReceives(1, NOTHING_MORE_MS), Bytes{}) << "bytes added on the way out";
}

TEST_F(PosixPort, SilentLineTimesOutNoSoonerThanAskedAndRecovers) {
    OpenPort();
    uint8_t byte = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PortReadByte(port_, &byte, SHORT_TIMEOUT_MS), STATUS_TIMEOUT);
    ExpectEndedAtDeadline(start, SHORT_TIMEOUT_MS);
    EXPECT_LE(seen.count[POLL], 3) << "the wait spins";

    ResetSeam();
    EXPECT_EQ(PortReadByte(port_, &byte, 0), STATUS_TIMEOUT);
    EXPECT_EQ(seen.count[POLL], 0);

    DeviceSends({0x5A});
    EXPECT_EQ(PortReadByte(port_, &byte, SHORT_TIMEOUT_MS), STATUS_OK);
    EXPECT_EQ(byte, 0x5A);
}

// The one full-length silence of the suite; port_posix_bench reports what it
// costs in processor time.
TEST_F(PosixPort, WaitsOutTheReplyTimeoutQuietly) {
    OpenPort();
    uint8_t byte = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PortReadByte(port_, &byte, kormelt::REPLY_TIMEOUT_MS), STATUS_TIMEOUT);
    ExpectEndedAtDeadline(start, kormelt::REPLY_TIMEOUT_MS);
    EXPECT_LE(seen.count[POLL], 3) << "the wait spins";
}

TEST_F(PosixPort, ByteArrivingDuringTheWaitEndsIt) {
    OpenPort();
    std::thread device([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint8_t byte = 0x33;
        EXPECT_EQ(write(master_, &byte, 1), 1);
    });
    uint8_t byte = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), STATUS_OK);
    EXPECT_LT(MsSince(start), LONG_TIMEOUT_MS - AT_ONCE_MS);
    device.join();
    EXPECT_EQ(byte, 0x33);
}

TEST_F(PosixPort, HungUpLineEndsTheReadWithoutSpinning) {
    for (bool during_wait : {false, true}) {
        SCOPED_TRACE(during_wait ? "hang-up during the wait" : "hung up before the read");
        NewPty();
        OpenPort();
        ResetSeam();
        std::thread device;
        if (during_wait) {
            device = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                CloseMaster();
            });
        } else {
            CloseMaster();
        }
        uint8_t byte = 0;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), STATUS_TIMEOUT);
        EXPECT_LT(MsSince(start), AT_ONCE_MS + (during_wait ? 100 : 0));
        if (device.joinable()) {
            device.join();
        }
        EXPECT_LE(seen.count[POLL], 2);
        EXPECT_LE(seen.count[READ], 3);
        EXPECT_EQ(PortClose(port_), STATUS_OK) << "a dead device must still close";
        port_ = nullptr;
    }
}

TEST_F(PosixPort, ReadFaultsEndTheReadAtOnce) {
    struct Case {
        const char *what;
        Call call;
        int nth;
        int error;
        bool byte_waiting;
        int32_t status;
    };
    const Case cases[] = {
        {"read fails", READ, 1, EIO, true, STATUS_TIMEOUT},
        {"read interrupted, then the byte", READ, 1, EINTR, true, STATUS_OK},
        {"poll fails", POLL, 1, EINVAL, false, STATUS_TIMEOUT},
        {"no clock at the start", CLOCK, 1, EINVAL, true, STATUS_TIMEOUT},
        {"no clock while waiting", CLOCK, 2, EINVAL, false, STATUS_TIMEOUT},
    };
    OpenPort();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t byte = 0;
        while (PortReadByte(port_, &byte, 0) == STATUS_OK) {
        }
        if (c.byte_waiting) {
            DeviceSends({0x99});
        }
        ResetSeam();
        InjectNth(c.call, c.nth, Fault::Fail, c.error);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(PortReadByte(port_, &byte, LONG_TIMEOUT_MS), c.status);
        EXPECT_LT(MsSince(start), AT_ONCE_MS);
        EXPECT_GE(seen.count[c.call], c.nth) << "the fault was not reached";
        if (c.status == STATUS_OK) {
            EXPECT_EQ(byte, 0x99);
        }
    }
}

TEST_F(PosixPort, InterruptedWaitKeepsItsDeadline) {
    OpenPort();
    InjectNth(POLL, 1, Fault::LateEintr);
    uint8_t byte = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(PortReadByte(port_, &byte, SHORT_TIMEOUT_MS), STATUS_TIMEOUT);
    EXPECT_GE(MsSince(start), SHORT_TIMEOUT_MS);
    ASSERT_GE(seen.poll_timeouts.size(), 2u);
    EXPECT_EQ(seen.poll_timeouts[0], static_cast<int>(SHORT_TIMEOUT_MS));
    const int left_ms = static_cast<int>(SHORT_TIMEOUT_MS - INTERRUPT_AFTER.count());
    EXPECT_LE(seen.poll_timeouts[1], left_ms) << "the wait started over";
}

TEST_F(PosixPort, WriteFullerThanTheLineIsReportedShortInTime) {
    OpenPort();
    const Bytes big(1 << 20, 0x55);  // far more than the pty buffers while nobody reads
    size_t written = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(PortWrite(port_, big.data(), big.size(), &written));
    ExpectEndedAtDeadline(start, kormelt::PORT_WRITE_TIMEOUT_MS);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_LE(seen.count[POLL], 3) << "the wait spins";
}

TEST_F(PosixPort, WriteToAHungUpLineFails) {
    OpenPort();
    CloseMaster();
    const Bytes frame{0x7E, 0x00, 0xBE, 0xA0, 0x7E};
    size_t written = 99;
    EXPECT_FALSE(PortWrite(port_, frame.data(), frame.size(), &written));
    EXPECT_EQ(written, 0u);
}

TEST_F(PosixPort, WriteFollowsPartialWritesAndFaults) {
    struct Case {
        const char *what;
        size_t chunk;  // the driver takes this many bytes a call, every other call none
        Call call;
        int nth;
        Fault fault;
        int error;
        bool ok;
        size_t written;
    };
    const size_t all = 256;
    const Case cases[] = {
        {"taken a little at a time", 7, WRITE, 0, Fault::None, 0, true, all},
        {"interrupted, then taken", 0, WRITE, 1, Fault::Fail, EINTR, true, all},
        {"refused", 0, WRITE, 1, Fault::Fail, EIO, false, 0},
        {"refused after a part", 7, WRITE, 3, Fault::Fail, EIO, false, 7},
        {"wait fails", 7, POLL, 1, Fault::Fail, EINVAL, false, 7},
        {"wait interrupted, then taken", 7, POLL, 1, Fault::Fail, EINTR, true, all},
        {"hang-up while waiting", 7, POLL, 1, Fault::HangUp, 0, false, 7},
        {"no clock", 0, CLOCK, 1, Fault::Fail, EINVAL, false, 0},
    };
    OpenPort();
    const Bytes bytes = AllByteValues();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ResetSeam();
        seen.write_chunk = c.chunk;
        InjectNth(c.call, c.nth, c.fault, c.error);
        size_t written = 99;
        EXPECT_EQ(PortWrite(port_, bytes.data(), bytes.size(), &written), c.ok);
        EXPECT_EQ(written, c.written);
        const Bytes sent(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.written));
        EXPECT_EQ(DeviceReceives(c.written), sent);
    }
}

TEST_F(PosixPort, CarriesAFrameExchange) {
    OpenPort();
    const Bytes request{0x02, 0x0B};
    const Bytes answer{0x02, 0x00};
    uint8_t request_wire[kormelt::FRAME_TX_CAPACITY];
    uint8_t reply_wire[kormelt::FRAME_TX_CAPACITY];
    const size_t request_length =
        kormelt::FrameEncode(request.data(), request.size(), request_wire, sizeof request_wire);
    const size_t reply_length =
        kormelt::FrameEncode(answer.data(), answer.size(), reply_wire, sizeof reply_wire);
    ASSERT_GT(request_length, 0u);
    ASSERT_GT(reply_length, 0u);
    DeviceSends(Bytes(reply_wire, reply_wire + reply_length));

    uint8_t reply[256] = {};
    int32_t length = -1;
    EXPECT_EQ(kormelt::FrameExchange(port_, request.data(), request.size(), reply, sizeof reply, &length),
              STATUS_OK);
    EXPECT_EQ(Bytes(reply, reply + length), answer);
    EXPECT_EQ(DeviceReceives(request_length), Bytes(request_wire, request_wire + request_length));
}

}  // namespace
