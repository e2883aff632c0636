// What the station knows of one port: the one state it owns, which the
// workers' reports change and the views are drawn from.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/common/name_table.h"
#include "tools/kormelt/port_identity.h"

namespace kormelt::station {

using Clock = std::chrono::steady_clock;

enum class RowState {
    Queued,     // waiting for a free job
    Running,    // its worker runs
    Ok,         // updated
    Failed,     // the update failed, or could not be started
    Cancelled,  // stopped by Ctrl-C, or never started because of it
};

struct StationRow {
    std::string port;  // the device's path
    tool::PortIdentity identity;
    RowState state = RowState::Queued;
    std::string phase;  // the phase running or, once ended, the last one reported
    int percent = 0;
    std::string phase_result;  // how the last phase that ended did: "ok", "failed", "cancelled"
    int64_t status = 0;        // the library's status of its last call
    uint64_t bytes = 0;  // of the upload
    uint64_t total = 0;
    // The result, once ended: the worker's exit code (EXIT_OK ...), the
    // phase that failed, and what to tell people.
    int exit_code = -1;
    std::string failed_phase;
    std::string message;
    Clock::time_point started{};
    Clock::time_point ended{};
    // With --watch: whether the adapter is plugged in now, and how many
    // devices this socket has seen updated and failed.
    bool present = true;
    int done = 0;
    int failed = 0;
    // Queued but held: found, and updated only when asked (kormelt ui, until
    // its Flash).
    bool hold = false;
};

// What changed in a row, for the views that print lines rather than redraw.
enum class RowChange {
    None,
    Added,         // a port to update: found, or plugged in again (--watch)
    Started,       // its worker runs
    PhaseStarted,  // the worker's reports
    Progress,
    PhaseEnded,
    Ended,      // the update's result is in the row
    Unplugged,  // --watch: the adapter is gone
};

// "1-1.2:1.0" when the location is known, else the port's path: the name
// people know a row by.
inline std::string RowName(const StationRow &row) {
    return row.identity.location.empty() ? row.port : row.identity.location;
}

inline bool Ended(RowState state) {
    return state == RowState::Ok || state == RowState::Failed || state == RowState::Cancelled;
}

constexpr Named<RowState> RESULT_WORDS[] = {
    {RowState::Queued, "queued"}, {RowState::Running, "running"}, {RowState::Ok, "ok"},
    {RowState::Failed, "failed"}, {RowState::Cancelled, "cancelled"},
};
static_assert(NamesEveryValue(RESULT_WORDS, RowState::Cancelled));

inline const char *ResultWord(RowState state) { return NameIn(RESULT_WORDS, state, "running"); }

inline double RowSeconds(const StationRow &row, Clock::time_point now) {
    const Clock::time_point end = Ended(row.state) ? row.ended : now;
    return row.started == Clock::time_point{} ? 0.0 : std::chrono::duration<double>(end - row.started).count();
}

}  // namespace kormelt::station
