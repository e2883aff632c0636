#include "tools/station/station.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

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
#include "tools/station/station_engine.h"
#include "tools/station/station_view.h"
#include "tools/station/worker_process.h"

namespace kormelt::station {
namespace {

constexpr int SCAN_INTERVAL_MS = 500;  // --watch looks for adapters about twice a second
constexpr int IDLE_POLL_MS = 100;      // the longest wait: a Ctrl-C just before it is seen this late

double CpuSeconds(int who) {
    rusage usage{};
    if (getrusage(who, &usage) != 0) {
        return 0.0;  // RUSAGE_SELF and RUSAGE_CHILDREN cannot fail; nothing to report if they did
    }
    const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One run of the station over the engine: the ports found at the start, or
// with --watch those that come and go, each updated once, until all have
// ended or Ctrl-C cancels them.
class Station {
public:
    Station(const StationOptions &options, StationView &view, records::RecordStore &records,
            std::shared_ptr<const EngineImage> image, std::string program)
        : options_(options), choice_{options.ports, options.match}, view_(view),
          engine_(view, records, std::move(program), options.jobs) {
        engine_.SetImage(std::move(image));
    }

    // The ports found before the run; false when there are none.
    bool AddInitialPorts() {
        for (const Candidate &candidate : FindCandidates(choice_, false)) {
            engine_.Add(candidate, false);
        }
        return !engine_.rows().empty();
    }

    int Run() {
        const Clock::time_point began = Clock::now();
        Clock::time_point next_scan = began;
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (tool::CancelRequested() && !engine_.stopping()) {
                engine_.CancelAll(now);
            }
            const bool scanning = options_.watch && !engine_.stopping();
            if (scanning && now >= next_scan) {
                engine_.Scan(FindCandidates(choice_, true), false);
                next_scan = now + std::chrono::milliseconds(SCAN_INTERVAL_MS);
            }
            if (!engine_.StartQueued(now)) {
                fatal_ = engine_.fatal();
                return Finish(tool::EXIT_SYSTEM, began);
            }
            engine_.KillOverdue(now);
            if (engine_.Running() == 0 && ((!options_.watch && engine_.Queued() == 0) || engine_.stopping())) {
                break;
            }
            int timeout = IDLE_POLL_MS;
            if (scanning) {
                const auto to_scan = std::chrono::duration_cast<std::chrono::milliseconds>(next_scan - now).count();
                timeout = static_cast<int>(std::clamp<long long>(to_scan, 0, timeout));
            }
            engine_.Wait(timeout, -1);
            view_.Tick(engine_.rows(), Clock::now());
        }
        return Finish(ExitCode(), began);
    }

private:
    int ExitCode() const {
        if (engine_.stopping()) {
            return tool::EXIT_CANCELLED;
        }
        if (engine_.records_failed()) {
            return tool::EXIT_SYSTEM;
        }
        const std::vector<StationRow> &rows = engine_.rows();
        const bool failed = std::any_of(rows.begin(), rows.end(), [](const StationRow &r) { return r.failed > 0; });
        return failed ? tool::EXIT_STATION : tool::EXIT_OK;
    }

    int Finish(int exit_code, Clock::time_point began) {
        StationSummary summary;
        summary.exit_code = exit_code;
        if (!fatal_.empty()) {
            summary.message = fatal_;
        } else if (engine_.records_failed()) {
            summary.message = "The records cannot be written: " + engine_.records_error() +
                              ". The updates whose results were not recorded read as interrupted in the records.";
        } else if (exit_code == tool::EXIT_CANCELLED) {
            summary.message = "Cancelled: a device whose update was stopped holds a partial image or none; update it "
                              "again.";
        }
        summary.seconds = std::chrono::duration<double>(Clock::now() - began).count();
        summary.station_cpu_seconds = CpuSeconds(RUSAGE_SELF);
        summary.workers_cpu_seconds = CpuSeconds(RUSAGE_CHILDREN);
        view_.Finish(engine_.rows(), summary);
        return exit_code;
    }

    const StationOptions &options_;
    const PortChoice choice_;
    StationView &view_;
    StationEngine engine_;
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
    if (!tool::PrepareUpdateRun()) {
        return tool::EXIT_SYSTEM;
    }
    std::string error;
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

    auto checked = std::make_shared<EngineImage>();
    checked->facts = facts;
    checked->copy_path = image.copy_path();
    Station station(options, *view, *store, checked, program);
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
