#include "tools/sim/foreground.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace kormelt::sim {

namespace {

// What the signal handlers ask to stop or to dump.
Simulator *g_simulator = nullptr;

extern "C" void OnStopSignal(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestStop();
    }
}

extern "C" void OnDumpSignal(int) {
    if (g_simulator != nullptr) {
        g_simulator->RequestDump();
    }
}

bool Install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    return sigemptyset(&action.sa_mask) == 0 && sigaction(signal_number, &action, nullptr) == 0;
}

class Registered {
public:
    explicit Registered(Simulator *simulator) { g_simulator = simulator; }
    ~Registered() { g_simulator = nullptr; }
    Registered(const Registered &) = delete;
    Registered &operator=(const Registered &) = delete;
};

}  // namespace

ForegroundEnd RunInForeground(const Options &options, const ForegroundSay &say, std::string *error) {
    Simulator simulator(options);
    Registered registered(&simulator);
    // Handlers before the path line: whoever reads it may signal at once.
    if (!Install(SIGINT, OnStopSignal) || !Install(SIGTERM, OnStopSignal) || !Install(SIGUSR1, OnDumpSignal)) {
        *error = std::string("cannot install the signal handlers: ") + std::strerror(errno);
        return ForegroundEnd::CannotStart;
    }
    if (!simulator.Open(error)) {
        return ForegroundEnd::CannotStart;
    }
    if (std::printf("%s\n", simulator.slave_path().c_str()) < 0 || std::fflush(stdout) != 0) {
        *error = std::string("cannot write the path to stdout: ") + std::strerror(errno);
        return ForegroundEnd::CannotStart;
    }
    if (say.started) {
        say.started(simulator);
    }
    const bool ok = simulator.Run(error);
    simulator.Close();
    if (ok && say.stopped) {
        say.stopped(simulator);
    }
    return ok ? ForegroundEnd::Stopped : ForegroundEnd::Failed;
}

}  // namespace kormelt::sim
