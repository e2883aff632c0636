// Running the simulator in the foreground of a program: signal handlers
// (SIGINT and SIGTERM stop it, SIGUSR1 writes the dump), the slave path alone
// on the first line of stdout, then serving until stopped. Both kormelt-sim
// and `kormelt sim` run it this way; they differ only in what they say.
#pragma once

#include <functional>
#include <string>

#include "tools/sim/simulator.h"

namespace kormelt::sim {

enum class ForegroundEnd {
    Stopped,      // served until stopped, dump written
    CannotStart,  // handlers, pseudo-terminal, log or stdout failed; nothing served
    Failed,       // stopped by a failure while serving
};

// What the program says around the run: started once the path line is
// out, stopped after a run that ended by a stop, with the simulator still
// there to ask. Either may be empty.
struct ForegroundSay {
    std::function<void(const Simulator &)> started;
    std::function<void(const Simulator &)> stopped;
};

// *error holds the reason unless the end is Stopped.
ForegroundEnd RunInForeground(const Options &options, const ForegroundSay &say, std::string *error);

}  // namespace kormelt::sim
