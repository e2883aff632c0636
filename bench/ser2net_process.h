// The distribution's ser2net as a child process on the loopback, with an
// rfc2217 accepter in front of one device path, for the benchmark of an
// update over the network. Stopped (SIGTERM, then SIGKILL) when destroyed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace bench {

class Ser2netProcess {
public:
    static constexpr int START_TIMEOUT_MS = 5000;  // until it listens
    static constexpr int STOP_TIMEOUT_MS = 5000;   // after SIGTERM, before SIGKILL

    // port: a free TCP port on 127.0.0.1; line: ser2net's setting of the
    // device before a client sets its own; chardelay: whether ser2net holds
    // what the device sends for a few character times to send it on in one
    // piece (its default), as an adapter's latency timer does.
    Ser2netProcess(const std::string &dir, const std::string &device, uint16_t port, const std::string &line,
                   bool chardelay)
        : config_(dir + "/kormelt-bench-ser2net.yaml"), port_(port) {
        std::ofstream config(config_);
        config << "connection: &bench\n"
               << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
               << "  connector: serialdev," << device << "," << line << ",local\n"
               << "  options:\n"
               << "    chardelay: " << (chardelay ? "true" : "false") << "\n";
        if (!config.flush()) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            // In the child just before exec: a failure shows as no server.
            if (null >= 0) {
                (void)dup2(null, STDOUT_FILENO);
                (void)dup2(null, STDERR_FILENO);
            }
            execlp("ser2net", "ser2net", "-n", "-d", "-u", "-c", config_.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
        while (pid_ > 0 && !Listening() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        listening_ = pid_ > 0 && Listening();
    }
    ~Ser2netProcess() {
        if (pid_ > 0) {
            (void)kill(pid_, SIGTERM);
            int status = 0;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STOP_TIMEOUT_MS);
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() >= until) {
                    (void)kill(pid_, SIGKILL);
                    (void)waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        std::remove(config_.c_str());
    }
    Ser2netProcess(const Ser2netProcess &) = delete;
    Ser2netProcess &operator=(const Ser2netProcess &) = delete;

    bool ok() const { return listening_; }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    // In the kernel's table of listening sockets: no connection is made, so
    // the device is not opened for nothing.
    bool Listening() const {
        std::ifstream table("/proc/net/tcp");
        char wanted[8];
        std::snprintf(wanted, sizeof wanted, ":%04X", port_);
        std::string line;
        std::getline(table, line);  // the header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0 && state == "0A") {
                return true;
            }
        }
        return false;
    }

    std::string config_;
    uint16_t port_;
    pid_t pid_ = -1;
    bool listening_ = false;
};

}  // namespace bench
