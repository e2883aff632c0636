// The library's device search on the POSIX port: a pseudo-terminal is COM3,
// every other port leads nowhere. A search whose identification fails must
// leave nothing behind, however often it runs: no descriptor to the port,
// and no claim that would refuse the next open of it.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include "device/api.h"
#include "protocol/status_names.h"
#include "tests/support/pty.h"

namespace {

constexpr uint32_t SEARCHED_PORTS = 7;
constexpr uint32_t PTY_PORT = 3;
constexpr int ANSWER_POLL_MS = 50;  // how often the answering end looks for a request and its stop

std::string PortVariable(uint32_t n) { return "KORMELT_COM" + std::to_string(n); }

// This process's open descriptors, and those of them that lead to path.
struct Descriptors {
    int all = 0;
    int to_path = 0;
};

Descriptors DescriptorsNow(const std::string &path) {
    Descriptors found;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        ADD_FAILURE() << "cannot list /proc/self/fd";
        return found;
    }
    const int listing = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == std::to_string(listing)) {
            continue;
        }
        ++found.all;
        char target[PATH_MAX] = {};
        const ssize_t length = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == path) {
            ++found.to_path;
        }
    }
    closedir(dir);
    return found;
}

class SearchOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint32_t n = 1; n <= SEARCHED_PORTS; ++n) {
            const std::string nowhere = "/nonexistent/kormelt/tty" + std::to_string(n);
            ASSERT_EQ(setenv(PortVariable(n).c_str(), nowhere.c_str(), 1), 0);
        }
        ASSERT_FALSE(pty_.path().empty());
        ASSERT_EQ(setenv(PortVariable(PTY_PORT).c_str(), pty_.path().c_str(), 1), 0);
    }

    void TearDown() override {
        KORMELT_Close();
        StopAnswering();
        for (uint32_t n = 1; n <= SEARCHED_PORTS; ++n) {
            unsetenv(PortVariable(n).c_str());
        }
    }

    // The far end answers every request with a frame that is not the
    // device's identification: the one-byte payload 0x06.
    void AnswerWrongly() {
        answering_ = true;
        answerer_ = std::thread([this] {
            const uint8_t reply[] = {0x7E, 0x06, 0x4F, 0x9B, 0x7E};
            while (answering_) {
                pollfd ready{pty_.master(), POLLIN, 0};
                if (poll(&ready, 1, ANSWER_POLL_MS) != 1 || (ready.revents & POLLIN) == 0) {
                    continue;
                }
                uint8_t request[256];
                if (read(pty_.master(), request, sizeof request) > 0) {
                    EXPECT_EQ(write(pty_.master(), reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
                }
            }
        });
    }

    void StopAnswering() {
        answering_ = false;
        if (answerer_.joinable()) {
            answerer_.join();
        }
    }

    // Whether another open of the port could claim it now.
    bool Claimable() const {
        const int fd = open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const bool claimed = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return claimed;
    }

    Pty pty_;
    std::atomic<bool> answering_{false};
    std::thread answerer_;
};

TEST_F(SearchOnPty, FailedIdentificationLeavesNoDescriptorAndNoClaim) {
    struct Case {
        const char *what;
        bool answers;
    };
    const Case cases[] = {
        {"a reply that is not the device's", true},
        {"a silent line", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.answers) {
            AnswerWrongly();
        }
        const Descriptors before = DescriptorsNow(pty_.path());
        ASSERT_EQ(before.to_path, 0);
        for (int search = 1; search <= 2; ++search) {
            SCOPED_TRACE("search " + std::to_string(search));
            EXPECT_EQ(KORMELT_Open(nullptr), STATUS_NOT_FOUND);
            const Descriptors after = DescriptorsNow(pty_.path());
            EXPECT_EQ(after.to_path, 0) << "a descriptor to the port is left open";
            EXPECT_EQ(after.all, before.all);
            EXPECT_TRUE(Claimable()) << "the port is still claimed";
        }
        StopAnswering();
    }
}

}  // namespace
