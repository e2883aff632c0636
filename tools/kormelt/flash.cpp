#include <chrono>
#include <cstdio>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/commands.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/platform.h"
#include "tools/kormelt/progress_view.h"
#include "tools/kormelt/status_text.h"

namespace kormelt::tool {
namespace {

using Clock = std::chrono::steady_clock;

// The library hands its callback nothing but the percentage; this is the
// callback's way back to the run it reports on.
struct ActiveRun {
    ProgressView *view = nullptr;
    Phase phase = Phase::Check;
    int percent = 0;
};
ActiveRun g_active;

int32_t KORMELT_CALL OnProgress(int32_t percent) {
    g_active.percent = percent;
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
    FlashRun(const FlashOptions &options, OutputMode mode, const Bytes &image)
        : options_(options), view_(MakeProgressView(mode, image.size())), image_(image) {
        summary_ = {EXIT_OK, false, Phase::Check, KORMELT_STATUS_OK, "", options.image, image.size(), 0, 0.0};
        g_active = {view_.get(), Phase::Check, 0};
    }
    ~FlashRun() { g_active = {}; }
    FlashRun(const FlashRun &) = delete;
    FlashRun &operator=(const FlashRun &) = delete;

    int Run() {
        view_->Begin(Phase::Check);
        const int32_t check = KORMELT_CheckCRC(options_.image.c_str());
        if (check != KORMELT_STATUS_OK) {
            view_->End(Phase::Check, check, "");
            return Fail(Phase::Check, check, EXIT_IMAGE,
                        CheckFailureText(options_.image, check) + " Nothing was sent to the device.");
        }
        view_->End(Phase::Check, KORMELT_STATUS_OK,
                   options_.image + ": " + std::to_string(image_.size()) + " bytes, CRC " +
                       CrcText(InspectTrailer(image_).stored));

        int32_t status = Step(Phase::Search, [] { return KORMELT_Open(OnProgress); });
        if (status != KORMELT_STATUS_OK) {
            return Fail(Phase::Search, status, EXIT_SEARCH);
        }
        OpenPort port;
        summary_.port = SearchPort(g_active.percent);
        view_->End(Phase::Search, KORMELT_STATUS_OK,
                   "device on COM" + std::to_string(summary_.port) + " (" + PortDevice(summary_.port) + ")");

        status = Step(Phase::Erase, [] { return KORMELT_Erase(OnProgress); });
        if (status != KORMELT_STATUS_OK) {
            return Fail(Phase::Erase, status, EXIT_ERASE);
        }
        view_->End(Phase::Erase, KORMELT_STATUS_OK, std::to_string(ERASE_BLOCK_COUNT) + " blocks erased");

        const char *path = options_.image.c_str();
        status = Step(Phase::Upload, [path] { return KORMELT_Programm(path, OnProgress); });
        if (status != KORMELT_STATUS_OK) {
            return Fail(Phase::Upload, status, EXIT_UPLOAD);
        }
        view_->End(Phase::Upload, KORMELT_STATUS_OK, std::to_string(image_.size()) + " bytes");

        // The upload's final report cannot cancel, and the restart takes no
        // callback: a Ctrl-C since the last report is honoured here.
        if (CancelRequested()) {
            return Fail(Phase::Restart, KORMELT_STATUS_CANCELLED, EXIT_CANCELLED,
                        "Cancelled before the restart: the image is fully written, but the device was not told "
                        "to restart; power-cycle it or run flash again.");
        }
        status = Step(Phase::Restart, [] { return KORMELT_Restart(); });
        if (status != KORMELT_STATUS_OK) {
            return Fail(Phase::Restart, status, EXIT_RESTART);
        }
        view_->End(Phase::Restart, KORMELT_STATUS_OK, "device restarted");
        KORMELT_Close();  // always 0; released before the summary says so
        return Finish(EXIT_OK);
    }

private:
    template <typename Call>
    int32_t Step(Phase phase, Call call) {
        g_active.phase = phase;
        g_active.percent = 0;
        view_->Begin(phase);
        const int32_t status = call();
        if (status != KORMELT_STATUS_OK) {
            view_->End(phase, status, "");
        }
        return status;
    }

    int Fail(Phase phase, int32_t status, int exit_code, const std::string &message = "") {
        KORMELT_Close();  // always 0; nothing stays open once the run has stopped
        summary_.has_failed_phase = true;
        summary_.failed_phase = phase;
        summary_.status = status;
        summary_.message =
            message.empty() ? PhaseFailureText(phase, status, g_active.percent, options_.image) : message;
        return Finish(status == KORMELT_STATUS_CANCELLED ? EXIT_CANCELLED : exit_code);
    }

    int Finish(int exit_code) {
        summary_.exit_code = exit_code;
        summary_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        view_->Finish(summary_);
        return exit_code;
    }

    const FlashOptions &options_;
    std::unique_ptr<ProgressView> view_;
    const Bytes &image_;
    FlashSummary summary_;
    Clock::time_point start_ = Clock::now();
};

}  // namespace

int RunFlash(const FlashOptions &options) {
    std::string error;
    if (!options.port.empty() && !PointSearchAtDevice(options.port, &error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (!InstallCancelHandler(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return EXIT_SYSTEM;
    }
    // The size drives the upload's byte counts; a file that cannot be read is
    // reported by the image check that comes first.
    Bytes image;
    if (!ReadWholeFile(options.image, &image, &error)) {
        image.clear();
    }
    const OutputMode mode = options.json         ? OutputMode::Json
                            : options.quiet      ? OutputMode::Quiet
                            : StdoutIsTerminal() ? OutputMode::Terminal
                                                 : OutputMode::Plain;
    FlashRun run(options, mode, image);
    return run.Run();
}

}  // namespace kormelt::tool
