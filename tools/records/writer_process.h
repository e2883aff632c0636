// The process that writes a row of the records, told apart from any other:
// its host, its PID, and what tells it from a later process that gets the
// same PID (the boot and the moment it started). A row left open tells
// whether its writer still runs, which is how `records` tells an update
// that is running from one that was cut off.
#pragma once

#include <cstdint>
#include <string>

namespace kormelt::records {

struct WriterProcess {
    std::string host;
    int64_t pid = 0;
    std::string instance;  // "<boot id>/<start time in clock ticks>", empty where /proc does not say
};

WriterProcess ThisProcess();

enum class WriterState {
    Running,   // the same process is alive on this host
    Gone,      // it ended, whatever way: its row was cut off
    Elsewhere  // it ran on another host, which this one cannot ask
};

WriterState StateOf(const WriterProcess &writer);

}  // namespace kormelt::records
