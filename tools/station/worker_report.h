// How a worker's report changes its row. A worker is `kormelt flash --json`
// on one port; its lines are the flash run's JSON events (start, progress,
// end, summary), and anything that is no such line is kept as text, for
// when the worker ends without a summary.
#pragma once

#include <string>

#include "tools/station/station_row.h"

namespace kormelt::station {

struct WorkerLog {
    bool summary = false;   // the worker's summary arrived: its result is in the row
    std::string last_text;  // its last line that was no JSON event
};

RowChange ApplyWorkerLine(const std::string &line, StationRow *row, WorkerLog *log, Clock::time_point now);

// A worker that ended without its summary (killed, or it failed to start):
// the row fails with what is known. wait_status as waitpid gives it.
void EndWithoutSummary(int wait_status, const WorkerLog &log, StationRow *row, Clock::time_point now);

}  // namespace kormelt::station
