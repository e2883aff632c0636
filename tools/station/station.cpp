#include "tools/station/station.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>

#include "device/api.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_input.h"
#include "tools/kormelt/live_line.h"
#include "tools/kormelt/port_scan.h"
#include "tools/kormelt/status_text.h"
#include "tools/records/records.h"
#include "tools/records/records_option.h"
#include "tools/records/sha256.h"
#include "tools/station/port_match.h"
#include "tools/station/station_view.h"
#include "tools/station/worker_process.h"
#include "tools/station/worker_report.h"

namespace kormelt::station {
namespace {

constexpr int SCAN_INTERVAL_MS = 500;  // --watch looks for adapters about twice a second
constexpr int IDLE_POLL_MS = 100;      // the longest wait: a Ctrl-C just before it is seen this late
constexpr int REAP_POLL_MS = 10;       // a worker that closed its pipe is about to exit
// After Ctrl-C, how long the workers get to cancel: the library looks at
// its cancel flag at the next progress report, which a silent device holds
// back for the reply timeout (3 s). Workers still running then are killed.
constexpr int CANCEL_GRACE_MS = 5000;
constexpr char WORKER_NAME[] = "kormelt";  // argv[0] of a worker, as ps shows it

struct Candidate {
    std::string port;
    tool::PortIdentity identity;
};

bool IsCharDevice(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// The same device named twice (a by-id link and its target) counts once.
std::string DeviceKey(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// The ports to update: those of --ports (with --watch only those that
// exist now), else the USB and ACM adapters the scan finds; then those
// --match selects.
std::vector<Candidate> FindCandidates(const StationOptions &options, bool existing_only) {
    std::vector<Candidate> found;
    if (!options.ports.empty()) {
        const std::string root = tool::ScanRoot();
        for (const std::string &port : options.ports) {
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
        if (PortMatches(options.match, candidate.port, candidate.identity) &&
            devices.insert(DeviceKey(candidate.port)).second) {
            selected.push_back(candidate);
        }
    }
    return selected;
}

// What a row stands for across scans: the socket when it is known (a
// device replugged into it may come back under another name), else the
// path.
std::string SocketKey(const Candidate &candidate) {
    return candidate.identity.location.empty() ? "path " + candidate.port : "socket " + candidate.identity.location;
}

double CpuSeconds(int who) {
    rusage usage{};
    if (getrusage(who, &usage) != 0) {
        return 0.0;  // RUSAGE_SELF and RUSAGE_CHILDREN cannot fail; nothing to report if they did
    }
    const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class Station {
public:
    Station(const StationOptions &options, StationView &view, records::RecordStore &records, const ImageFacts &image,
            std::string program, std::string copy)
        : options_(options), view_(view), records_(records), image_(image), program_(std::move(program)),
          copy_(std::move(copy)) {}

    // The ports found before the run; false when there are none.
    bool AddInitialPorts() {
        for (const Candidate &candidate : FindCandidates(options_, false)) {
            Add(candidate);
        }
        return !rows_.empty();
    }

    int Run() {
        const Clock::time_point began = Clock::now();
        Clock::time_point next_scan = began;
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (tool::CancelRequested() && !cancelling_) {
                BeginCancel(now);
            }
            if (options_.watch && !cancelling_ && now >= next_scan) {
                Scan();
                next_scan = now + std::chrono::milliseconds(SCAN_INTERVAL_MS);
            }
            if (!StartQueued(now)) {
                return Finish(tool::EXIT_SYSTEM, began);
            }
            if (cancelling_ && now >= cancel_deadline_) {
                for (Job &job : jobs_) {
                    job.worker.Signal(SIGKILL);  // it did not cancel in time: the port closes with it
                }
            }
            if (Running() == 0 && ((!options_.watch && Queued() == 0) || cancelling_)) {
                break;
            }
            Wait(now, next_scan);
            view_.Tick(rows_, Clock::now());
        }
        return Finish(ExitCode(), began);
    }

    // The first record could not be written: nothing was started.
    const std::string &fatal() const { return fatal_; }

private:
    struct Job {
        std::string key;
        WorkerProcess worker;
        WorkerLog log;
        bool running = false;
        bool eof = false;        // its pipe ended; it is about to exit
        bool again = false;      // --watch: replugged while its worker ran, to be updated once that ends
        int64_t record_id = -1;  // its open row of the records
    };

    void Add(const Candidate &candidate) {
        StationRow row;
        row.port = candidate.port;
        row.identity = candidate.identity;
        rows_.push_back(row);
        jobs_.emplace_back();
        jobs_.back().key = SocketKey(candidate);
        view_.Changed(rows_, rows_.size() - 1, RowChange::Added);
    }

    size_t Running() const {
        return static_cast<size_t>(std::count_if(jobs_.begin(), jobs_.end(), [](const Job &j) { return j.running; }));
    }
    size_t Queued() const {
        return static_cast<size_t>(std::count_if(rows_.begin(), rows_.end(), [](const StationRow &r) {
            return r.state == RowState::Queued && r.present;
        }));
    }

    // --watch: a socket that appears gets a row, one that comes back after
    // it was left empty is a new device; a socket left empty says so.
    void Scan() {
        std::set<std::string> seen;
        for (const Candidate &candidate : FindCandidates(options_, true)) {
            const std::string key = SocketKey(candidate);
            seen.insert(key);
            const auto found = std::find_if(jobs_.begin(), jobs_.end(), [&](const Job &j) { return j.key == key; });
            if (found == jobs_.end()) {
                Add(candidate);
                continue;
            }
            const size_t index = static_cast<size_t>(found - jobs_.begin());
            StationRow &row = rows_[index];
            if (row.present) {
                continue;  // still plugged in: updated once, not again
            }
            row.present = true;
            if (found->running) {
                found->again = true;  // the worker still has the old device's port
                continue;
            }
            Requeue(index, candidate);
        }
        for (size_t index = 0; index < rows_.size(); ++index) {
            if (rows_[index].present && seen.count(jobs_[index].key) == 0) {
                rows_[index].present = false;
                view_.Changed(rows_, index, RowChange::Unplugged);
            }
        }
    }

    void Requeue(size_t index, const Candidate &candidate) {
        StationRow &row = rows_[index];
        row.port = candidate.port;
        row.identity = candidate.identity;
        row.state = RowState::Queued;
        row.phase.clear();
        row.phase_result.clear();
        row.status = 0;
        row.percent = 0;
        row.bytes = row.total = 0;
        row.exit_code = -1;
        row.failed_phase.clear();
        row.message.clear();
        view_.Changed(rows_, index, RowChange::Added);
    }

    // False when the first record cannot be written: the run stops before
    // any device is touched.
    bool StartQueued(Clock::time_point now) {
        for (size_t index = 0; index < rows_.size(); ++index) {
            if (cancelling_ || (options_.jobs != 0 && Running() >= options_.jobs)) {
                return true;
            }
            StationRow &row = rows_[index];
            if (row.state != RowState::Queued || !row.present) {
                continue;
            }
            if (records_failed_) {
                End(index, RowState::Failed, tool::EXIT_SYSTEM,
                    "Not updated: the records cannot be written (" + records_error_ + "); nothing was sent to it.",
                    now);
                continue;
            }
            Job &job = jobs_[index];
            std::string error;
            records::UpdateStart start{row.port,   row.identity, options_.image, image_.bytes,
                                       image_.crc, image_.sha256};
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
                                                   copy_};
            job.log = {};
            job.eof = false;
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

    void Wait(Clock::time_point now, Clock::time_point next_scan) {
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
        int timeout = reaping ? REAP_POLL_MS : IDLE_POLL_MS;
        if (options_.watch && !cancelling_) {
            const auto to_scan = std::chrono::duration_cast<std::chrono::milliseconds>(next_scan - now).count();
            timeout = static_cast<int>(std::clamp<long long>(to_scan, 0, timeout));
        }
        // A signal cuts the wait short (EINTR), which is what Ctrl-C needs;
        // the loop looks at the cancel flag next. Any failure is taken as
        // the end of the wait: the next round polls again.
        const int ready = poll(fds.data(), fds.size(), timeout);
        const Clock::time_point woke = Clock::now();
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
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

    void ReadWorker(size_t index, Clock::time_point now) {
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

    void WorkerEnded(size_t index, int wait_status, Clock::time_point now) {
        Job &job = jobs_[index];
        job.running = false;
        StationRow &row = rows_[index];
        if (job.log.summary) {
            End(index, row.state, row.exit_code, row.message, now);
        } else {
            EndWithoutSummary(wait_status, job.log, &row, now);
            // Killed because it did not cancel in time: cancelled all the same.
            End(index, cancelling_ ? RowState::Cancelled : RowState::Failed,
                cancelling_ ? tool::EXIT_CANCELLED : row.exit_code, row.message, now);
        }
        if (job.again && !cancelling_) {
            job.again = false;
            Requeue(index, {row.port, row.identity});
        }
    }

    // The row's result, in the records and for the views.
    void End(size_t index, RowState state, int exit_code, const std::string &message, Clock::time_point now) {
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

    void RecordsFailed(const std::string &error) {
        if (!records_failed_) {
            records_failed_ = true;
            records_error_ = error;
        }
    }

    void BeginCancel(Clock::time_point now) {
        cancelling_ = true;
        cancel_deadline_ = now + std::chrono::milliseconds(CANCEL_GRACE_MS);
        for (size_t index = 0; index < rows_.size(); ++index) {
            if (jobs_[index].running) {
                // Ctrl-C at the terminal reached it already; a signal sent to
                // the station alone did not.
                jobs_[index].worker.Signal(SIGTERM);
            } else if (rows_[index].state == RowState::Queued) {
                End(index, RowState::Cancelled, tool::EXIT_CANCELLED,
                    "Cancelled before its update started; nothing was sent to it.", now);
            }
        }
    }

    int ExitCode() const {
        if (cancelling_) {
            return tool::EXIT_CANCELLED;
        }
        if (records_failed_) {
            return tool::EXIT_SYSTEM;
        }
        const bool failed = std::any_of(rows_.begin(), rows_.end(), [](const StationRow &r) { return r.failed > 0; });
        return failed ? tool::EXIT_STATION : tool::EXIT_OK;
    }

    int Finish(int exit_code, Clock::time_point began) {
        StationSummary summary;
        summary.exit_code = exit_code;
        if (!fatal_.empty()) {
            summary.message = fatal_;
        } else if (records_failed_) {
            summary.message = "The records cannot be written: " + records_error_ +
                              ". The updates whose results were not recorded read as interrupted in the records.";
        } else if (exit_code == tool::EXIT_CANCELLED) {
            summary.message = "Cancelled: a device whose update was stopped holds a partial image or none; update it "
                              "again.";
        }
        summary.seconds = std::chrono::duration<double>(Clock::now() - began).count();
        summary.station_cpu_seconds = CpuSeconds(RUSAGE_SELF);
        summary.workers_cpu_seconds = CpuSeconds(RUSAGE_CHILDREN);
        view_.Finish(rows_, summary);
        return exit_code;
    }

    const StationOptions &options_;
    StationView &view_;
    records::RecordStore &records_;
    const ImageFacts &image_;
    const std::string program_;
    const std::string copy_;

    std::vector<StationRow> rows_;  // the state the views are drawn from
    std::vector<Job> jobs_;         // one per row: its worker and its record
    bool cancelling_ = false;
    Clock::time_point cancel_deadline_{};
    bool started_any_ = false;
    bool records_failed_ = false;
    std::string records_error_;
    std::string fatal_;
};

// A run that stops before any port: the view says why, and the summary.
int StopBefore(StationView &view, int exit_code, const std::string &message) {
    StationSummary summary;
    summary.exit_code = exit_code;
    summary.message = message;
    view.Finish({}, summary);
    return exit_code;
}

}  // namespace

int RunStation(const StationOptions &options) {
    std::string error;
    if (!tool::InstallCancelHandler(&error) || !tool::KeepRunningWhenOutputBreaks(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_SYSTEM;
    }
    const bool terminal = !options.json && tool::StdoutIsTerminal() && tool::RedrawsInPlace(tool::TerminalColumns());
    if (terminal && !tool::WatchTerminalWidth(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_SYSTEM;
    }
    const std::unique_ptr<StationView> view =
        MakeStationView(options.json ? StationMode::Json : terminal ? StationMode::Terminal : StationMode::Plain,
                        options.watch);

    const std::string records_path = records::RecordsPath(options.records, &error);
    if (records_path.empty()) {
        return StopBefore(*view, tool::EXIT_USAGE, error);
    }
    const std::unique_ptr<records::RecordStore> store =
        records::RecordStore::Open(records_path, records::OpenMode::Write, &error);
    if (store == nullptr) {
        return StopBefore(*view, tool::EXIT_SYSTEM, error + ". No device was touched.");
    }
    std::string program;
    if (!OwnProgram(&program, &error)) {
        return StopBefore(*view, tool::EXIT_SYSTEM, error + ". No device was touched.");
    }

    // Read and checked once; every worker uploads the same private copy.
    tool::ImageInput image;
    std::string message;
    ImageFacts facts;
    facts.path = options.image;
    const int loaded = image.Load(options.image, tool::InputChoice{}, tool::ImageSource::ImageOnly, &message);
    if (loaded != tool::EXIT_OK) {
        view->Checked(facts, false, message);
        return StopBefore(*view, loaded, message + " Nothing was sent to any device.");
    }
    const int32_t check = KORMELT_CheckCRC(image.copy_path().c_str());
    const std::string refusal = tool::ImageRefusalText(options.image, image.bytes(), check);
    if (!refusal.empty()) {
        view->Checked(facts, false, refusal);
        return StopBefore(*view, tool::EXIT_IMAGE, refusal + " Nothing was sent to any device.");
    }
    facts.bytes = image.bytes().size();
    facts.crc = tool::InspectTrailer(image.bytes()).stored;
    facts.sha256 = records::Sha256Hex(image.bytes().data(), image.bytes().size());
    view->Checked(facts, true, "");
    if (tool::CancelRequested()) {
        return StopBefore(*view, tool::EXIT_CANCELLED, "Cancelled after the image check; nothing was sent to any device.");
    }

    Station station(options, *view, *store, facts, program, image.copy_path());
    if (!options.watch && !station.AddInitialPorts()) {
        return StopBefore(*view, tool::EXIT_SEARCH,
                          options.ports.empty() && options.match.empty()
                              ? "No USB or ACM adapter found (in " + tool::ScanRoot() +
                                    "dev). Plug them in, or name ports with --ports; 'kormelt ports' shows what "
                                    "was found."
                              : "No port matches: none of the ports found or named is selected by --match.");
    }
    const int exit_code = station.Run();
    return exit_code;
}

}  // namespace kormelt::station
