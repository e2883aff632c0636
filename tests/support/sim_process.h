// Runs the device simulator, kormelt-sim, as a child process of a test.
//
//   SimProcess sim({"--silent-from", "3"});    // extra options; starts it
//   ASSERT_TRUE(sim.ok()) << sim.error();
//   ... open sim.path() as the serial port, or point KORMELT_COM3 at it ...
//   std::vector<SimLogEntry> log = sim.Log(4);  // waits for 4 lines (2 s at most)
//   std::vector<uint8_t> image = sim.Dump();    // asks the running simulator for it
//   EXPECT_EQ(sim.Stop(), 0);                   // SIGTERM, then wait; the destructor does it too
//
// The simulator's --dump and --log always go to a private temporary
// directory that goes with the object; do not pass them. Everything else
// (--link, --paced, the fault options) is passed as given; `kormelt-sim --help`
// lists them. Requests are numbered from 1 in the order they arrive, every
// frame counted, so request K is log line K.
//
// The executable's path comes from KORMELT_SIM_PATH: link the CMake target
// kormelt_sim_process, which also builds kormelt-sim first. Linux only.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/sim/request_log.h"

#ifndef KORMELT_SIM_PATH
#error "KORMELT_SIM_PATH is not defined: link the kormelt_sim_process target"
#endif

extern char **environ;

// One line of the simulator's log (tools/sim/request_log.h has the format).
using SimLogEntry = kormelt::sim::LoggedRequest;

// The log's complete lines; a line still being written is left out.
inline std::vector<SimLogEntry> ReadSimLog(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return kormelt::sim::ReadRequestLog(text);
}

// The dump file's bytes; empty when it is missing.
inline std::vector<uint8_t> ReadSimDump(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SimProcess {
public:
    static constexpr int START_TIMEOUT_MS = 5000;  // for the path line
    static constexpr int STOP_TIMEOUT_MS = 5000;   // after SIGTERM, before SIGKILL
    static constexpr int DUMP_TIMEOUT_MS = 5000;   // for the dump asked with SIGUSR1
    static constexpr int LOG_TIMEOUT_MS = 2000;    // default wait of Log()

    explicit SimProcess(const std::vector<std::string> &options = {}) { Start(options); }
    ~SimProcess() {
        Stop();
        if (dir_.empty()) {
            return;
        }
        // The dump, the log, and a dump's temporary file if it was stopped
        // while writing one.
        if (DIR *dir = opendir(dir_.c_str())) {
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    std::remove((dir_ + "/" + name).c_str());
                }
            }
            closedir(dir);
        }
        rmdir(dir_.c_str());
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Started, and printed its path.
    bool ok() const { return !path_.empty(); }
    const std::string &error() const { return error_; }
    // The slave side of the pseudo-terminal: the host's serial port.
    const std::string &path() const { return path_; }
    const std::string &dump_path() const { return dump_path_; }
    const std::string &log_path() const { return log_path_; }

    // The log, once it has at_least lines or timeout_ms have passed. The
    // simulator writes a request's line before it answers it, so after a
    // reply has arrived its line is there without waiting.
    std::vector<SimLogEntry> Log(size_t at_least = 0, int timeout_ms = LOG_TIMEOUT_MS) const {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<SimLogEntry> entries = ReadSimLog(log_path_);
        while (entries.size() < at_least && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
            entries = ReadSimLog(log_path_);
        }
        return entries;
    }

    // Running: asks for a fresh dump (SIGUSR1) and returns it. Ended: the
    // dump it wrote at the end. Empty when none came.
    std::vector<uint8_t> Dump() {
        if (Running()) {
            std::remove(dump_path_.c_str());  // the fresh one shows up by its rename
            if (kill(pid_, SIGUSR1) == 0) {
                const auto deadline = Clock::now() + std::chrono::milliseconds(DUMP_TIMEOUT_MS);
                struct stat info {};
                while (stat(dump_path_.c_str(), &info) != 0 && Running() && Clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
                }
            }
        }
        return ReadSimDump(dump_path_);
    }

    // True when the simulator ends by itself within timeout_ms.
    bool WaitExit(int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Running() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
        }
        return !Running();
    }

    // Ends the simulator (SIGTERM; SIGKILL after STOP_TIMEOUT_MS) and waits
    // for it. Its exit code, 128 + the signal when a signal ended it, or -1
    // when it never ran. May be called again; returns the same.
    int Stop() {
        if (Running() && kill(pid_, SIGTERM) == 0 && !WaitExit(STOP_TIMEOUT_MS)) {
            kill(pid_, SIGKILL);
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_) {
                Reap(status);
            }
        }
        return exit_code_;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int POLL_MS = 5;

    void Start(const std::vector<std::string> &options) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-sim-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            error_ = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        dir_ = templ;
        dump_path_ = dir_ + "/dump.bin";
        log_path_ = dir_ + "/requests.log";

        std::vector<std::string> args = {KORMELT_SIM_PATH, "--dump", dump_path_, "--log", log_path_};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            error_ = std::string("pipe: ") + std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawn_error = posix_spawn(&pid_, KORMELT_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawn_error != 0) {
            pid_ = -1;
            close(out[0]);
            error_ = std::string("posix_spawn " KORMELT_SIM_PATH ": ") + std::strerror(spawn_error);
            return;
        }
        running_ = true;

        std::string line;
        const auto deadline = Clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd = {out[0], POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                error_ = "no path line from kormelt-sim within " + std::to_string(START_TIMEOUT_MS) + " ms";
                break;
            }
            char chunk[256];
            const ssize_t n = read(out[0], chunk, sizeof chunk);
            if (n <= 0) {
                error_ = "kormelt-sim ended before printing its path (see its stderr)";
                break;
            }
            line.append(chunk, static_cast<size_t>(n));
        }
        close(out[0]);
        if (error_.empty()) {
            path_ = line.substr(0, line.find('\n'));
        } else {
            Stop();
        }
    }

    bool Running() {
        if (!running_) {
            return false;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            Reap(status);
        }
        return running_;
    }

    void Reap(int status) {
        running_ = false;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    bool running_ = false;
    int exit_code_ = -1;
    std::string dir_;
    std::string dump_path_;
    std::string log_path_;
    std::string path_;
    std::string error_;
};
