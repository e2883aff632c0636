// The station's mechanics, which `kormelt station` and `kormelt ui` both
// drive: the ports a scan finds, a row and a worker per port, the start of
// queued updates within the job limit, the workers' pipes read with poll(),
// a cancel that ends in a kill when a worker does not stop in time, and a
// record of every update. The driver decides when to scan, what to queue
// and when to stop; the engine tells every change to its view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/kormelt/port_identity.h"
#include "tools/records/records.h"
#include "tools/station/station_row.h"
#include "tools/station/station_view.h"
#include "tools/station/worker_process.h"
#include "tools/station/worker_report.h"

namespace kormelt::station {

struct Candidate {
    std::string port;
    tool::PortIdentity identity;
};

// Which ports to update: those named (built-in UARTs only this way), else
// the USB and ACM adapters the scan finds; then those the globs select.
struct PortChoice {
    std::vector<std::string> ports;
    std::vector<std::string> match;
};

// The ports of choice, each device once; with existing_only a named port
// counts only while it exists.
std::vector<Candidate> FindCandidates(const PortChoice &choice, bool existing_only);

// The checked image an update uploads, which its workers read by name: its
// facts for the records and the private copy. Whoever makes it keeps the
// copy alive for as long as a job holds it.
struct EngineImage {
    ImageFacts facts;  // facts.path is the name the records keep
    std::string copy_path;
};

class StationEngine {
public:
    // jobs: the updates that run at once, 0 for all.
    StationEngine(StationView &view, records::RecordStore &records, std::string program, size_t jobs);
    ~StationEngine();
    StationEngine(const StationEngine &) = delete;
    StationEngine &operator=(const StationEngine &) = delete;

    const std::vector<StationRow> &rows() const { return rows_; }

    // A row for a port; held rows wait until Queue is asked for them.
    void Add(const Candidate &candidate, bool hold);
    // What a scan found: a socket that appears gets a row, one that comes
    // back after it was left empty holds a new device and is queued again
    // (held or not); a socket left empty says so.
    void Scan(const std::vector<Candidate> &found, bool hold);
    // The row's update again from the start, held or not.
    void Requeue(size_t index, bool hold);

    // The image of the updates started from now on; nullptr for none, which
    // keeps queued rows waiting.
    void SetImage(std::shared_ptr<const EngineImage> image) { image_ = std::move(image); }

    // Starts the queued rows that a job is free for. False when the first
    // record of the run cannot be written: then nothing was started.
    bool StartQueued(Clock::time_point now);

    // Waits up to timeout_ms for the workers (and for wake_fd, when it is
    // not -1, which the caller then reads), reading what they report and
    // ending the rows of those that exited.
    void Wait(int timeout_ms, int wake_fd);

    // Asks the row's worker to cancel, or ends a queued row as cancelled.
    void Cancel(size_t index, Clock::time_point now);
    // Cancels every row and starts no more: the run is ending.
    void CancelAll(Clock::time_point now);
    // Kills the workers that did not cancel in time.
    void KillOverdue(Clock::time_point now);

    bool running(size_t index) const;
    size_t Running() const;
    size_t Queued() const;  // present, not held, not started
    bool stopping() const { return stopping_; }
    bool records_failed() const { return records_failed_; }
    const std::string &records_error() const { return records_error_; }
    // The first record could not be written: nothing was started.
    const std::string &fatal() const { return fatal_; }

private:
    struct Job;

    void ReadWorker(size_t index, Clock::time_point now);
    void WorkerEnded(size_t index, int wait_status, Clock::time_point now);
    void End(size_t index, RowState state, int exit_code, const std::string &message, Clock::time_point now);
    void RecordsFailed(const std::string &error);

    StationView &view_;
    records::RecordStore &records_;
    const std::string program_;
    const size_t jobs_limit_;
    std::shared_ptr<const EngineImage> image_;

    std::vector<StationRow> rows_;  // the state the views are drawn from
    std::vector<Job> jobs_;         // one per row: its worker and its record
    bool stopping_ = false;
    bool started_any_ = false;
    bool records_failed_ = false;
    std::string records_error_;
    std::string fatal_;
};

}  // namespace kormelt::station
