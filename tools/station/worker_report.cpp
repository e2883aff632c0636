#include "tools/station/worker_report.h"

#include <sys/wait.h>

#include <cmath>
#include <cstring>

#include "tools/kormelt/exit_codes.h"
#include "tools/common/json_object.h"

namespace kormelt::station {
namespace {

constexpr size_t TEXT_MAX_BYTES = 1000;  // of a line that is no event, kept for a message

int Whole(const JsonObject &event, const char *key, int fallback) {
    const std::optional<double> number = event.Number(key);
    return number && std::isfinite(*number) ? static_cast<int>(*number) : fallback;
}

}  // namespace

RowChange ApplyWorkerLine(const std::string &line, StationRow *row, WorkerLog *log, Clock::time_point now) {
    const std::optional<JsonObject> event = JsonObject::Parse(line);
    if (!event || !event->Has("event")) {
        // "kormelt: ..." from the worker's stderr, which shares the pipe.
        log->last_text = line.substr(0, TEXT_MAX_BYTES);
        return RowChange::None;
    }
    const std::string kind = event->String("event");
    if (kind == "start") {
        row->phase = event->String("phase", row->phase);
        row->percent = 0;
        if (event->Has("total")) {
            row->total = static_cast<uint64_t>(Whole(*event, "total", 0));
            row->bytes = 0;
        }
        return RowChange::PhaseStarted;
    }
    if (kind == "progress") {
        row->phase = event->String("phase", row->phase);
        row->percent = Whole(*event, "percent", row->percent);
        if (event->Has("bytes")) {
            row->bytes = static_cast<uint64_t>(Whole(*event, "bytes", 0));
            row->total = static_cast<uint64_t>(Whole(*event, "total", static_cast<int>(row->total)));
        }
        return RowChange::Progress;
    }
    if (kind == "end") {
        row->phase = event->String("phase", row->phase);
        row->percent = Whole(*event, "percent", row->percent);
        row->phase_result = event->String("result");
        row->status = Whole(*event, "status", 0);
        return RowChange::PhaseEnded;
    }
    if (kind == "summary") {
        log->summary = true;
        row->exit_code = Whole(*event, "exit_code", tool::EXIT_INTERNAL);
        row->failed_phase = event->String("phase");
        row->message = event->String("message");
        row->status = Whole(*event, "status", static_cast<int>(row->status));
        row->state = row->exit_code == tool::EXIT_OK          ? RowState::Ok
                     : row->exit_code == tool::EXIT_CANCELLED ? RowState::Cancelled
                                                              : RowState::Failed;
        row->ended = now;
        return RowChange::Ended;
    }
    return RowChange::None;  // an event of a later kormelt: nothing the row shows
}

void EndWithoutSummary(int wait_status, const WorkerLog &log, StationRow *row, Clock::time_point now) {
    std::string how;
    if (WIFSIGNALED(wait_status)) {
        how = std::string("was killed by signal ") + std::to_string(WTERMSIG(wait_status)) + " (" +
              strsignal(WTERMSIG(wait_status)) + ")";
    } else {
        how = "ended with exit code " + std::to_string(WEXITSTATUS(wait_status));
    }
    row->state = RowState::Failed;
    row->exit_code = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) != tool::EXIT_OK ? WEXITSTATUS(wait_status)
                                                                                          : tool::EXIT_INTERNAL;
    row->failed_phase = row->phase;
    row->message = "The update of " + row->port + " stopped without a result: its worker " + how +
                   (log.last_text.empty() ? "" : " (" + log.last_text + ")") +
                   ". The device may hold a partial image; update it again.";
    row->ended = now;
}

}  // namespace kormelt::station
