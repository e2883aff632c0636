#include "tools/station/station_engine.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/port_scan.h"
#include "tools/station/port_match.h"

namespace kormelt::station {
namespace {

constexpr int REAP_POLL_MS = 10;  // a worker that closed its pipe is about to exit
// After a cancel, how long a worker gets to stop: the library looks at its
// cancel flag at the next progress report, which a silent device holds back
// for the reply timeout (3 s). A worker still running then is killed.
constexpr int CANCEL_GRACE_MS = 5000;
constexpr char WORKER_NAME[] = "kormelt";  // argv[0] of a worker, as ps shows it

bool IsCharDevice(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// The same device named twice (a by-id link and its target) counts once.
std::string DeviceKey(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// What a row stands for across scans: the socket when it is known (a
// device replugged into it may come back under another name), else the
// path.
std::string SocketKey(const Candidate &candidate) {
    return candidate.identity.location.empty() ? "path " + candidate.port : "socket " + candidate.identity.location;
}

}  // namespace

std::vector<Candidate> FindCandidates(const PortChoice &choice, bool existing_only) {
    std::vector<Candidate> found;
    if (!choice.ports.empty()) {
        const std::string root = tool::ScanRoot();
        for (const std::string &port : choice.ports) {
            if (!existing_only || IsCharDevice(port)) {
                found.push_back({port, tool::ReadPortIdentity(root, port)});
            }
        }
    } else {
        for (const tool::FoundPort &port : tool::FindSerialPorts(tool::ScanRoot())) {
            if (port.adapter) {
                found.push_back({port.device, port.identity});
            }
        }
    }
    std::vector<Candidate> selected;
    std::set<std::string> devices;
    for (const Candidate &candidate : found) {
        if (PortMatches(choice.match, candidate.port, candidate.identity) &&
            devices.insert(DeviceKey(candidate.port)).second) {
            selected.push_back(candidate);
        }
    }
    return selected;
}

struct StationEngine::Job {
    std::string key;
    WorkerProcess worker;
    WorkerLog log;
    bool running = false;
    bool eof = false;    // its pipe ended; it is about to exit
    bool again = false;  // replugged while its worker ran, to be updated once that ends
    bool again_hold = false;
    Clock::time_point cancel_deadline{};  // set once it was asked to cancel
    int64_t record_id = -1;               // its open row of the records
    std::shared_ptr<const EngineImage> image;  // what it uploads, kept while it runs
};

StationEngine::StationEngine(StationView &view, records::RecordStore &records, std::string program, size_t jobs)
    : view_(view), records_(records), program_(std::move(program)), jobs_limit_(jobs) {}

StationEngine::~StationEngine() = default;

void StationEngine::Add(const Candidate &candidate, bool hold) {
    StationRow row;
    row.port = candidate.port;
    row.identity = candidate.identity;
    row.hold = hold;
    rows_.push_back(row);
    jobs_.emplace_back();
    jobs_.back().key = SocketKey(candidate);
    view_.Changed(rows_, rows_.size() - 1, RowChange::Added);
}

void StationEngine::Scan(const std::vector<Candidate> &found, bool hold) {
    std::set<std::string> seen;
    for (const Candidate &candidate : found) {
        const std::string key = SocketKey(candidate);
        seen.insert(key);
        const auto job = std::find_if(jobs_.begin(), jobs_.end(), [&](const Job &j) { return j.key == key; });
        if (job == jobs_.end()) {
            Add(candidate, hold);
            continue;
        }
        const size_t index = static_cast<size_t>(job - jobs_.begin());
        StationRow &row = rows_[index];
        if (row.present) {
            continue;  // still plugged in: updated once, not again
        }
        row.present = true;
        if (job->running) {
            job->again = true;  // the worker still has the old device's port
            job->again_hold = hold;
            continue;
        }
        row.port = candidate.port;
        row.identity = candidate.identity;
        Requeue(index, hold);
    }
    for (size_t index = 0; index < rows_.size(); ++index) {
        if (rows_[index].present && seen.count(jobs_[index].key) == 0) {
            rows_[index].present = false;
            view_.Changed(rows_, index, RowChange::Unplugged);
        }
    }
}

void StationEngine::Requeue(size_t index, bool hold) {
    StationRow &row = rows_[index];
    row.state = RowState::Queued;
    row.hold = hold;
    row.phase.clear();
    row.phase_result.clear();
    row.status = 0;
    row.percent = 0;
    row.bytes = row.total = 0;
    row.exit_code = -1;
    row.failed_phase.clear();
    row.message.clear();
    row.started = row.ended = Clock::time_point{};
    view_.Changed(rows_, index, RowChange::Added);
}

bool StationEngine::running(size_t index) const { return jobs_[index].running; }

size_t StationEngine::Running() const {
    return static_cast<size_t>(std::count_if(jobs_.begin(), jobs_.end(), [](const Job &j) { return j.running; }));
}

size_t StationEngine::Queued() const {
    return static_cast<size_t>(std::count_if(rows_.begin(), rows_.end(), [](const StationRow &r) {
        return r.state == RowState::Queued && r.present && !r.hold;
    }));
}

bool StationEngine::StartQueued(Clock::time_point now) {
    for (size_t index = 0; index < rows_.size(); ++index) {
        if (stopping_ || image_ == nullptr || (jobs_limit_ != 0 && Running() >= jobs_limit_)) {
            return true;
        }
        StationRow &row = rows_[index];
        if (row.state != RowState::Queued || !row.present || row.hold) {
            continue;
        }
        if (records_failed_) {
            End(index, RowState::Failed, tool::EXIT_SYSTEM,
                "Not updated: the records cannot be written (" + records_error_ + "); nothing was sent to it.", now);
            continue;
        }
        Job &job = jobs_[index];
        const ImageFacts &facts = image_->facts;
        std::string error;
        records::UpdateStart start{row.port, row.identity, facts.path, facts.bytes, facts.crc, facts.sha256};
        if (!records_.Start(start, &job.record_id, &error)) {
            if (!started_any_) {
                fatal_ = error + ". No device was touched.";
                return false;
            }
            RecordsFailed(error);
            End(index, RowState::Failed, tool::EXIT_SYSTEM,
                "Not updated: its record cannot be written (" + error + "); nothing was sent to it.", now);
            continue;
        }
        started_any_ = true;
        const std::vector<std::string> args = {WORKER_NAME, "flash", "--json", "--from-station", "--port", row.port,
                                               image_->copy_path};
        job.log = {};
        job.eof = false;
        job.cancel_deadline = Clock::time_point{};
        job.image = image_;
        if (!job.worker.Start(program_, args, &error)) {
            End(index, RowState::Failed, tool::EXIT_SYSTEM, "Not updated: " + error + ".", now);
            continue;
        }
        job.running = true;
        row.state = RowState::Running;
        row.started = now;
        view_.Changed(rows_, index, RowChange::Started);
    }
    return true;
}

void StationEngine::Wait(int timeout_ms, int wake_fd) {
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    bool reaping = false;
    for (size_t index = 0; index < jobs_.size(); ++index) {
        const Job &job = jobs_[index];
        if (job.running && job.worker.fd() >= 0) {
            fds.push_back({job.worker.fd(), POLLIN, 0});
            owners.push_back(index);
        }
        reaping = reaping || (job.running && job.eof);
    }
    if (wake_fd >= 0) {
        fds.push_back({wake_fd, POLLIN, 0});
    }
    const int timeout = reaping ? std::min(timeout_ms, REAP_POLL_MS) : timeout_ms;
    // A signal cuts the wait short (EINTR), which is what Ctrl-C needs; the
    // driver looks at the cancel flag next. Any failure is taken as the end
    // of the wait: the next round polls again.
    const int ready = poll(fds.data(), fds.size(), timeout);
    const Clock::time_point woke = Clock::now();
    for (size_t k = 0; ready > 0 && k < owners.size(); ++k) {
        if (fds[k].revents != 0) {
            ReadWorker(owners[k], woke);
        }
    }
    for (size_t index = 0; index < jobs_.size(); ++index) {
        Job &job = jobs_[index];
        int status = 0;
        if (job.running && job.eof && job.worker.Reap(&status)) {
            WorkerEnded(index, status, woke);
        }
    }
}

void StationEngine::ReadWorker(size_t index, Clock::time_point now) {
    Job &job = jobs_[index];
    std::vector<std::string> lines;
    job.eof = !job.worker.Read(&lines);
    for (const std::string &line : lines) {
        const RowChange change = ApplyWorkerLine(line, &rows_[index], &job.log, now);
        // The summary's result is told once the worker has gone.
        if (change != RowChange::None && change != RowChange::Ended) {
            view_.Changed(rows_, index, change);
        }
    }
}

void StationEngine::WorkerEnded(size_t index, int wait_status, Clock::time_point now) {
    Job &job = jobs_[index];
    job.running = false;
    job.image.reset();
    StationRow &row = rows_[index];
    const bool cancelled = job.cancel_deadline != Clock::time_point{};
    if (job.log.summary) {
        End(index, row.state, row.exit_code, row.message, now);
    } else {
        EndWithoutSummary(wait_status, job.log, &row, now);
        // Killed because it did not cancel in time: cancelled all the same.
        End(index, cancelled ? RowState::Cancelled : RowState::Failed,
            cancelled ? tool::EXIT_CANCELLED : row.exit_code, row.message, now);
    }
    if (job.again && !stopping_) {
        job.again = false;
        Requeue(index, job.again_hold);
    }
}

void StationEngine::End(size_t index, RowState state, int exit_code, const std::string &message,
                        Clock::time_point now) {
    StationRow &row = rows_[index];
    Job &job = jobs_[index];
    row.state = state;
    row.exit_code = exit_code;
    row.message = message;
    row.ended = now;
    if (row.started == Clock::time_point{}) {
        row.started = now;
    }
    row.done += state == RowState::Ok ? 1 : 0;
    row.failed += state == RowState::Failed ? 1 : 0;
    if (job.record_id >= 0) {
        records::UpdateEnd end;
        end.outcome = state == RowState::Ok          ? records::Outcome::Ok
                      : state == RowState::Cancelled ? records::Outcome::Cancelled
                                                     : records::Outcome::Failed;
        end.exit_code = exit_code;
        end.failed_phase = row.failed_phase;
        end.message = message;
        std::string error;
        if (!records_.Complete(job.record_id, end, &error)) {
            RecordsFailed(error);
            view_.Problem("the result of " + RowName(row) + " (" + ResultWord(state) +
                          ") could not be recorded: " + error + "; its record reads as interrupted");
        }
        job.record_id = -1;
    }
    view_.Changed(rows_, index, RowChange::Ended);
}

void StationEngine::RecordsFailed(const std::string &error) {
    if (!records_failed_) {
        records_failed_ = true;
        records_error_ = error;
    }
}

void StationEngine::Cancel(size_t index, Clock::time_point now) {
    Job &job = jobs_[index];
    if (job.running) {
        if (job.cancel_deadline == Clock::time_point{}) {
            job.cancel_deadline = now + std::chrono::milliseconds(CANCEL_GRACE_MS);
            // Ctrl-C at the terminal reached it already; a signal sent to
            // the station alone, or a cancel asked for by other means, did not.
            job.worker.Signal(SIGTERM);
        }
        job.again = false;
    } else if (rows_[index].state == RowState::Queued && !rows_[index].hold) {
        End(index, RowState::Cancelled, tool::EXIT_CANCELLED,
            "Cancelled before its update started; nothing was sent to it.", now);
    }
}

void StationEngine::CancelAll(Clock::time_point now) {
    stopping_ = true;
    for (size_t index = 0; index < rows_.size(); ++index) {
        Cancel(index, now);
    }
}

void StationEngine::KillOverdue(Clock::time_point now) {
    for (Job &job : jobs_) {
        if (job.running && job.cancel_deadline != Clock::time_point{} && now >= job.cancel_deadline) {
            job.worker.Signal(SIGKILL);  // it did not cancel in time: the port closes with it
        }
    }
}

}  // namespace kormelt::station
