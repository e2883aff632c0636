#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/adapter_latency.h"
#include "tools/kormelt/commands.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_input.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"
#include "tools/kormelt/progress_view.h"
#include "tools/kormelt/status_text.h"
#include "tools/records/records.h"
#include "tools/records/sha256.h"

namespace kormelt::tool {
namespace {

using Clock = std::chrono::steady_clock;

// The library hands its callback nothing but the percentage; this is the
// callback's way back to the run it reports on.
struct ActiveRun {
    ProgressView *view = nullptr;
    Phase phase = Phase::Check;
    int percent = 0;
    Clock::time_point reported = Clock::now();  // the phase's start or its last report
};
ActiveRun g_active;

int32_t KORMELT_CALL OnProgress(int32_t percent) {
    g_active.percent = percent;
    g_active.reported = Clock::now();
    try {
        g_active.view->Update(g_active.phase, percent);
    } catch (...) {
        // Nothing may unwind through the library; a lost redraw is harmless.
    }
    return CancelRequested() ? 1 : 0;
}

// Whatever happens after a successful search, the port is released.
class OpenPort {
public:
    OpenPort() = default;
    ~OpenPort() { KORMELT_Close(); }  // always 0
    OpenPort(const OpenPort &) = delete;
    OpenPort &operator=(const OpenPort &) = delete;
};

class FlashRun {
public:
    FlashRun(const FlashOptions &options, OutputMode mode, const ImageInput &image, const PortMap &ports,
             records::RecordStore *records)
        : options_(options), ports_(ports), view_(MakeProgressView(mode, image.bytes().size(), ports)), image_(image),
          records_(records) {
        summary_ = {EXIT_OK, false, Phase::Check, KORMELT_STATUS_OK, "", options.image, image.bytes().size(), 0, 0.0};
        g_active = {view_.get(), Phase::Check, 0, Clock::now()};
    }
    ~FlashRun() { g_active = {}; }
    FlashRun(const FlashRun &) = delete;
    FlashRun &operator=(const FlashRun &) = delete;

    // After the image was read: the library checks the same bytes that it
    // then uploads, from a copy nobody else writes.
    int Run() {
        const int32_t check = KORMELT_CheckCRC(image_.copy_path().c_str());
        const std::string refusal = ImageRefusalText(options_.image, image_.bytes(), check);
        if (!refusal.empty()) {
            view_->End(Phase::Check, check == KORMELT_STATUS_OK ? KORMELT_STATUS_CRC : check, "");
            return Fail(Phase::Check, check, EXIT_IMAGE, refusal + " Nothing was sent to the device.");
        }
        if (CancelRequested()) {
            view_->End(Phase::Check, KORMELT_STATUS_CANCELLED, "");
            return Fail(Phase::Check, KORMELT_STATUS_CANCELLED, EXIT_CANCELLED,
                        "Cancelled after the image check; nothing was sent to the device.");
        }
        view_->End(Phase::Check, KORMELT_STATUS_OK,
                   !image_.sealed_note().empty()
                       ? image_.sealed_note()
                       : options_.image + ": " +
                             SizeAndCrcText(image_.bytes().size(), InspectTrailer(image_.bytes()).stored));

        // A Ctrl-C that arrived before a call returned wins over whatever it
        // returned: the library may have been waiting out a silent device,
        // or finished just as the signal came.
        int32_t status = Settled(Step(Phase::Search, [] { return KORMELT_Open(OnProgress); }));
        OpenPort port;  // the device's port, if the search found one, is closed on every way out
        if (status != KORMELT_STATUS_OK) {
            return EndFailed(Phase::Search, status, EXIT_SEARCH);
        }
        summary_.port = SearchPort(g_active.percent);
        latency_.Lower(ports_.Port(summary_.port).device);
        view_->End(Phase::Search, KORMELT_STATUS_OK,
                   "device on COM" + std::to_string(summary_.port) + " (" + ports_.Port(summary_.port).device + ")");
        // The device's update starts here, and its record with it: a run
        // that cannot be recorded leaves the device as it was.
        std::string error;
        if (!StartRecord(&error)) {
            return Fail(Phase::Search, KORMELT_STATUS_OK, EXIT_SYSTEM,
                        "The update was not started: " + error + ". Nothing was changed on the device.");
        }

        status = Settled(Step(Phase::Erase, [] { return KORMELT_Erase(OnProgress); }));
        if (status != KORMELT_STATUS_OK) {
            return EndFailed(Phase::Erase, status, EXIT_ERASE);
        }
        view_->End(Phase::Erase, KORMELT_STATUS_OK, std::to_string(ERASE_BLOCK_COUNT) + " blocks erased");

        const char *path = image_.copy_path().c_str();
        status = Step(Phase::Upload, [path] { return KORMELT_Programm(path, OnProgress); });
        if (status != KORMELT_STATUS_OK) {
            return EndFailed(Phase::Upload, Settled(status), EXIT_UPLOAD);
        }
        // The upload's final report cannot cancel, and the restart takes no
        // callback: a Ctrl-C since the last report is honoured here.
        if (CancelRequested()) {
            view_->End(Phase::Upload, KORMELT_STATUS_CANCELLED, "");
            return Fail(Phase::Restart, KORMELT_STATUS_CANCELLED, EXIT_CANCELLED,
                        "Cancelled before the restart (status 12): the image is fully written, but the device "
                        "was not told to restart; power-cycle it or run flash again.");
        }
        view_->End(Phase::Upload, KORMELT_STATUS_OK, std::to_string(image_.bytes().size()) + " bytes");

        status = Step(Phase::Restart, [] { return KORMELT_Restart(); });
        if (CancelRequested()) {
            view_->End(Phase::Restart, KORMELT_STATUS_CANCELLED, "");
            return Fail(Phase::Restart, KORMELT_STATUS_CANCELLED, EXIT_CANCELLED,
                        status == KORMELT_STATUS_OK
                            ? "Cancelled during the restart (status 12), after the device had confirmed it: the "
                              "image is fully written and the device restarted."
                            : "Cancelled during the restart (status 12): the image is fully written, but the "
                              "device may not have restarted; power-cycle it or run flash again.");
        }
        if (status != KORMELT_STATUS_OK) {
            return EndFailed(Phase::Restart, status, EXIT_RESTART);
        }
        view_->End(Phase::Restart, KORMELT_STATUS_OK, "device restarted");
        KORMELT_Close();  // always 0; released before the summary says so
        latency_.Restore();
        return Finish(EXIT_OK);
    }

    // A refusal of the image before the library saw it.
    int Refuse(int exit_code, const std::string &message) {
        const int32_t status = exit_code == EXIT_CANCELLED ? KORMELT_STATUS_CANCELLED : KORMELT_FILE_CHECK_OPEN_FAILED;
        view_->End(Phase::Check, status, "");
        return Fail(Phase::Check, status, exit_code, message + " Nothing was sent to the device.");
    }

    void Begin() { view_->Begin(Phase::Check); }

private:
    // Runs one library call of a phase and notes how long it ran since its
    // last progress report.
    template <typename Call>
    int32_t Step(Phase phase, Call call) {
        g_active.phase = phase;
        g_active.percent = 0;
        view_->Begin(phase);
        g_active.reported = Clock::now();
        const int32_t status = call();
        exchange_seconds_ = std::chrono::duration<double>(Clock::now() - g_active.reported).count();
        return status;
    }

    static int32_t Settled(int32_t status) { return CancelRequested() ? KORMELT_STATUS_CANCELLED : status; }

    int EndFailed(Phase phase, int32_t status, int exit_code) {
        view_->End(phase, status, "");
        return Fail(phase, status, exit_code);
    }

    int Fail(Phase phase, int32_t status, int exit_code, const std::string &message = "") {
        KORMELT_Close();  // always 0; nothing stays open once the run has stopped
        latency_.Restore();
        summary_.has_failed_phase = true;
        summary_.failed_phase = phase;
        summary_.status = status;
        summary_.message = message.empty() ? PhaseFailureText(phase, status, g_active.percent, options_.image,
                                                              exchange_seconds_, ports_, ProbePort, summary_.port,
                                                              PortGone)
                                           : message;
        return Finish(status == KORMELT_STATUS_CANCELLED ? EXIT_CANCELLED : exit_code);
    }

    bool StartRecord(std::string *error) {
        if (records_ == nullptr) {
            return true;
        }
        const MappedPort &port = ports_.Port(summary_.port);
        const Bytes &bytes = image_.bytes();
        records::UpdateStart start{port.device,  port.identity, options_.image, bytes.size(),
                                   InspectTrailer(bytes).stored, records::Sha256Hex(bytes.data(), bytes.size())};
        recorded_ = records_->Start(start, &record_id_, error);
        return recorded_;
    }

    // A run whose record cannot be completed fails, since nobody would
    // learn how it went: the row stays open and reads as interrupted.
    int CompleteRecord(int exit_code) {
        if (!recorded_) {
            return exit_code;
        }
        records::UpdateEnd end;
        end.outcome = exit_code == EXIT_OK          ? records::Outcome::Ok
                      : exit_code == EXIT_CANCELLED ? records::Outcome::Cancelled
                                                    : records::Outcome::Failed;
        end.exit_code = exit_code;
        end.failed_phase = summary_.has_failed_phase ? PhaseName(summary_.failed_phase) : "";
        end.message = summary_.message;
        std::string error;
        if (records_->Complete(record_id_, end, &error)) {
            return exit_code;
        }
        if (exit_code == EXIT_OK) {
            summary_.message = "The device was updated, but its record could not be completed: " + error + ".";
            return EXIT_SYSTEM;
        }
        summary_.message += " Its record could not be completed either: " + error + ".";
        return exit_code;
    }

    int Finish(int run_exit_code) {
        const int exit_code = CompleteRecord(run_exit_code);
        summary_.exit_code = exit_code;
        summary_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        view_->Finish(summary_);
        return exit_code;
    }

    const FlashOptions &options_;
    const PortMap &ports_;
    std::unique_ptr<ProgressView> view_;
    const ImageInput &image_;
    FlashSummary summary_;
    // The adapter's timer, lowered for the run, is put back on every way
    // out: success, failure, a cancel (Ctrl-C, SIGTERM, SIGHUP end the run
    // through Fail) and, from the destructor, anything else that ends it.
    AdapterLatency latency_;
    Clock::time_point start_ = Clock::now();
    double exchange_seconds_ = 0.0;
    records::RecordStore *records_;
    bool recorded_ = false;
    int64_t record_id_ = 0;
};

}  // namespace

int RunFlash(const FlashOptions &options) {
    if (!PrepareUpdateRun()) {
        return EXIT_SYSTEM;
    }
    std::string error;
    const std::optional<PortMap> ports = options.port.empty() ? MapPorts() : PointSearchAtDevice(options.port, &error);
    if (!ports) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (!HandPortsToLibrary(*ports, &error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    const OutputMode mode = options.json         ? OutputMode::Json
                            : options.quiet      ? OutputMode::Quiet
                            : StdoutIsTerminal() ? OutputMode::Terminal
                                                 : OutputMode::Plain;
    if (mode == OutputMode::Terminal && !WatchTerminalWidth(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    std::unique_ptr<records::RecordStore> records;
    if (!options.records.empty()) {
        if (!records::RecordsAvailable()) {
            std::fprintf(stderr, "kormelt: --records is not available on Windows\n");
            return EXIT_USAGE;
        }
        records = records::RecordStore::Open(options.records, records::OpenMode::Write, &error);
        if (records == nullptr) {
            std::fprintf(stderr, "kormelt: %s. Nothing was sent to the device.\n", error.c_str());
            return EXIT_SYSTEM;
        }
    }
    ImageInput image;
    std::string message;
    const int loaded = options.from_station ? image.Adopt(options.image, &message)
                                            : image.Load(options.image, {options.format, options.base},
                                                         ImageSource::AnyFirmware, &message);
    FlashRun run(options, mode, image, *ports, records.get());
    run.Begin();
    if (loaded != EXIT_OK) {
        return run.Refuse(loaded, message);
    }
    return run.Run();
}

}  // namespace kormelt::tool
