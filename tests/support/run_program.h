// Runs a program with some environment variables set and collects what it
// printed on stdout; for the end-to-end tests and the benchmarks, which run
// the test host (natively or under Wine) against the simulator.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
    int exit_code = -1;  // -1 when it did not exit normally
    std::string output;
};

inline ProgramResult RunProgram(std::vector<std::string> args,
                                const std::vector<std::pair<std::string, std::string>> &environment) {
    ProgramResult result;
    int out[2];
    if (args.empty() || pipe(out) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        for (const auto &[name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    return result;
}

// COM3 leads to com3; every other port of the search to a path that does not
// exist, so the machine's own serial ports never take part.
inline std::vector<std::pair<std::string, std::string>> PortsWithCom3(const std::string &com3) {
    std::vector<std::pair<std::string, std::string>> environment;
    for (int n = 1; n <= 7; ++n) {
        environment.emplace_back("KORMELT_COM" + std::to_string(n), n == 3 ? com3 : "/nonexistent/kormelt-port");
    }
    return environment;
}

// A path of this machine as a Windows program under Wine sees it.
inline std::string WinePath(const std::string &path) {
    std::string wine = "Z:" + path;
    for (char &c : wine) {
        c = c == '/' ? '\\' : c;
    }
    return wine;
}
