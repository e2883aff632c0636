#include "tools/kormelt/progress_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/json_line.h"
#include "tools/kormelt/live_line.h"
#include "tools/kormelt/output.h"

namespace kormelt::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int PLAIN_STEP_PERCENT = 10;        // one log line per step of this size
constexpr double RATE_MIN_SECONDS = 0.5;      // no rate or remaining time before this much upload
constexpr uint64_t KIB = 1024;                // bytes
constexpr uint64_t SHOW_KIB_FROM = 10 * KIB;  // smaller counts are shown in bytes
constexpr uint64_t SHOW_MIB_FROM = 10 * KIB * KIB;

std::string Bytes(uint64_t count) {
    char text[32];
    if (count < SHOW_KIB_FROM) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(count));
    } else if (count < SHOW_MIB_FROM) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(count) / KIB);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(count) / (KIB * KIB));
    }
    return text;
}

std::string Rate(double bytes_per_second) {
    char text[32];
    if (bytes_per_second < KIB) {
        std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytes_per_second / KIB);
    }
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string MinutesSeconds(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string PortName(uint32_t n) { return "COM" + std::to_string(n); }

const char *Result(int32_t status) {
    return status == KORMELT_STATUS_OK ? "ok" : status == KORMELT_STATUS_CANCELLED ? "cancelled" : "failed";
}

// What every view keeps: when the current phase began and how far it got,
// noted here before each view shows a phase's start (Started) or its
// progress (Moved).
class ViewBase : public ProgressView {
public:
    ViewBase(uint64_t image_bytes, const PortMap &ports) : image_bytes_(image_bytes), ports_(ports) {}

    void Begin(Phase phase) final {
        phase_start_ = Clock::now();
        percent_ = 0;
        Started(phase);
    }

    void Update(Phase phase, int percent) final {
        percent_ = percent;
        Moved(phase, percent);
    }

    void Finish(const FlashSummary &summary) override {
        if (!summary.message.empty()) {
            std::fprintf(stderr, "kormelt: %s\n", summary.message.c_str());
        }
    }

protected:
    virtual void Started(Phase phase) = 0;
    virtual void Moved(Phase phase, int percent) = 0;

    double PhaseSeconds() const { return std::chrono::duration<double>(Clock::now() - phase_start_).count(); }
    // The library reports the upload in percent of the file; the byte count
    // follows from the size.
    uint64_t UploadedBytes(int percent) const {
        return image_bytes_ * static_cast<uint64_t>(std::clamp(percent, 0, PERCENT_DONE)) / PERCENT_DONE;
    }
    std::string Device(uint32_t n) const { return ports_.Port(n).device; }
    std::string PortWithDevice(uint32_t n) const { return PortName(n) + " (" + Device(n) + ")"; }

    uint64_t image_bytes_;
    PortMap ports_;
    int percent_ = 0;

private:
    Clock::time_point phase_start_ = Clock::now();
};

// A bar per phase, redrawn in place and fitted to the terminal's width, which
// is asked for at every redraw. A phase that begins on a terminal too narrow
// for a bar is shown as plain lines.
class TerminalView : public ViewBase {
public:
    TerminalView(uint64_t image_bytes, const PortMap &ports)
        : ViewBase(image_bytes, ports), lines_(MakeProgressView(OutputMode::Plain, image_bytes, ports)) {}

    void Started(Phase phase) override {
        drawn_ = 0;
        plain_phase_ = !RedrawsInPlace(TerminalColumns());
        if (plain_phase_) {
            lines_->Begin(phase);
        } else if (phase == Phase::Restart) {
            Draw(Label(phase) + "sending the restart command");
        } else if (phase != Phase::Check) {
            DrawBar(phase, 0, Detail(phase, 0));
        }
    }

    void Moved(Phase phase, int percent) override {
        if (plain_phase_) {
            lines_->Update(phase, percent);
            return;
        }
        DrawBar(phase, percent, Detail(phase, percent));
    }

    void End(Phase phase, int32_t status, const std::string &note) override {
        if (plain_phase_) {
            lines_->End(phase, status, note);
            return;
        }
        const std::string took = Seconds(PhaseSeconds());
        if (phase == Phase::Check || phase == Phase::Restart) {
            Draw(Label(phase) + (status == KORMELT_STATUS_OK ? note : Failed(status)) + "  " + took);
        } else if (status == KORMELT_STATUS_OK && phase == Phase::Upload) {
            const double seconds = PhaseSeconds();
            std::string rate;
            if (seconds > 0) {
                rate = ", " + Rate(static_cast<double>(image_bytes_) / seconds);
            }
            DrawBar(phase, PERCENT_DONE, Bytes(image_bytes_) + " in " + took + rate);
        } else if (status == KORMELT_STATUS_OK) {
            DrawBar(phase, PERCENT_DONE, note + "  " + took);
        } else {
            DrawBar(phase, percent_, Failed(status) + " after " + took);
        }
        PrintOut("\n");
        drawn_ = 0;
    }

    void Finish(const FlashSummary &summary) override {
        if (summary.exit_code == 0) {
            PrintOut("done: " + Bytes(summary.image_bytes) + " written and the device restarted, " +
                     Seconds(summary.seconds) + " in all\n");
        }
        ViewBase::Finish(summary);
    }

private:
    static std::string Label(Phase phase) {
        char text[16];
        std::snprintf(text, sizeof text, "%-8s", PhaseName(phase));
        return text;
    }

    static std::string Failed(int32_t status) {
        return status == KORMELT_STATUS_CANCELLED ? "cancelled" : "failed (status " + std::to_string(status) + ")";
    }

    std::string Detail(Phase phase, int percent) const {
        switch (phase) {
        case Phase::Search:
            return percent < PERCENT_DONE ? "trying " + PortWithDevice(SearchPort(percent)) : "";
        case Phase::Erase:
            return std::to_string(std::min(ErasedBlocks(percent), ERASE_BLOCK_COUNT)) + " of " +
                   std::to_string(ERASE_BLOCK_COUNT) + " blocks";
        case Phase::Upload: {
            const uint64_t sent = UploadedBytes(percent);
            std::string detail = Bytes(sent) + " / " + Bytes(image_bytes_);
            const double seconds = PhaseSeconds();
            if (sent > 0 && seconds >= RATE_MIN_SECONDS) {
                const double rate = static_cast<double>(sent) / seconds;
                detail += "  " + Rate(rate) + "  " + MinutesSeconds(static_cast<double>(image_bytes_ - sent) / rate) +
                          " left";
            }
            return detail;
        }
        case Phase::Check:
        case Phase::Restart:
            break;
        }
        return "";
    }

    void DrawBar(Phase phase, int percent, const std::string &detail) {
        const size_t width = LiveLineWidth(TerminalColumns());
        Show(BarLine(Label(phase), percent, detail, width), width);
    }

    void Draw(const std::string &line) {
        const size_t width = LiveLineWidth(TerminalColumns());
        Show(FitLine(line, width), width);
    }

    // Redraws the current line; spaces wipe what a longer earlier text left,
    // as far as the terminal is wide now.
    void Show(std::string line, size_t width) {
        const size_t length = line.size();
        const size_t wipe = std::min(drawn_, width);
        if (length < wipe) {
            line.append(wipe - length, ' ');
        }
        PrintOut("\r" + line);
        drawn_ = length;
    }

    std::unique_ptr<ProgressView> lines_;  // for the phases shown as plain lines
    bool plain_phase_ = false;
    size_t drawn_ = 0;
};

// One line per phase start and end, and one per tenth of the way, for logs.
class PlainView : public ViewBase {
public:
    using ViewBase::ViewBase;

    void Started(Phase phase) override {
        step_ = 0;
        std::string line = std::string(PhaseName(phase)) + ": started";
        if (phase == Phase::Upload) {
            line += ", " + std::to_string(image_bytes_) + " bytes";
        }
        Print(line);
    }

    void Moved(Phase phase, int percent) override {
        if (percent >= PERCENT_DONE) {
            return;  // the end of the phase says it
        }
        if (phase == Phase::Search) {
            Print("search: trying " + PortWithDevice(SearchPort(percent)));
            return;
        }
        const int step = percent / PLAIN_STEP_PERCENT;
        if (step <= step_) {
            return;
        }
        step_ = step;
        std::string line = std::string(PhaseName(phase)) + ": " + std::to_string(percent) + "%";
        if (phase == Phase::Upload) {
            line += ", " + std::to_string(UploadedBytes(percent)) + " of " + std::to_string(image_bytes_) + " bytes";
        }
        Print(line);
    }

    void End(Phase phase, int32_t status, const std::string &note) override {
        const std::string took = Seconds(PhaseSeconds());
        std::string line = std::string(PhaseName(phase)) + ": ";
        if (status == KORMELT_STATUS_OK) {
            line += "done in " + took + (note.empty() ? "" : ", " + note);
        } else if (status == KORMELT_STATUS_CANCELLED) {
            line += "cancelled at " + std::to_string(percent_) + "% after " + took;
        } else {
            line += "failed at " + std::to_string(percent_) + "% after " + took + " (status " + std::to_string(status) +
                    ")";
        }
        Print(line);
    }

    void Finish(const FlashSummary &summary) override {
        if (summary.exit_code == 0) {
            Print("flash: done, " + std::to_string(summary.image_bytes) + " bytes written to the device on " +
                  PortWithDevice(summary.port) + " in " + Seconds(summary.seconds));
        } else {
            Print("flash: stopped with exit code " + std::to_string(summary.exit_code));
        }
        ViewBase::Finish(summary);
    }

private:
    static void Print(const std::string &line) { PrintOut(line + "\n"); }

    int step_ = 0;
};

// One object per line on stdout; the messages also go to stderr as text.
class JsonView : public ViewBase {
public:
    using ViewBase::ViewBase;

    void Started(Phase phase) override {
        last_sent_ = -1;
        JsonLine line;
        line.Add("event", "start").Add("phase", PhaseName(phase));
        if (phase == Phase::Upload) {
            line.Add("total", image_bytes_);
        }
        Print(line);
    }

    void Moved(Phase phase, int percent) override {
        if (percent == last_sent_) {
            return;
        }
        last_sent_ = percent;
        JsonLine line;
        line.Add("event", "progress").Add("phase", PhaseName(phase)).Add("percent", percent);
        if (phase == Phase::Upload) {
            line.Add("bytes", UploadedBytes(percent)).Add("total", image_bytes_);
        } else if (phase == Phase::Search && percent < PERCENT_DONE) {
            line.Add("port", PortName(SearchPort(percent))).Add("device", Device(SearchPort(percent)));
        }
        Print(line);
    }

    void End(Phase phase, int32_t status, const std::string &note) override {
        JsonLine line;
        line.Add("event", "end")
            .Add("phase", PhaseName(phase))
            .Add("result", Result(status))
            .Add("status", static_cast<int64_t>(status))
            .Add("percent", status == KORMELT_STATUS_OK ? PERCENT_DONE : percent_)
            .Add("seconds", PhaseSeconds());
        if (!note.empty()) {
            line.Add("note", note);
        }
        Print(line);
    }

    void Finish(const FlashSummary &summary) override {
        JsonLine line;
        line.Add("event", "summary")
            .Add("result", summary.exit_code == EXIT_OK          ? "ok"
                           : summary.exit_code == EXIT_CANCELLED ? "cancelled"
                                                                 : "failed")
            .Add("exit_code", summary.exit_code);
        if (summary.has_failed_phase) {
            line.Add("phase", PhaseName(summary.failed_phase));
        } else {
            line.AddNull("phase");
        }
        line.Add("status", static_cast<int64_t>(summary.status))
            .Add("message", summary.message)
            .Add("image", summary.image)
            .Add("bytes", summary.image_bytes);
        if (summary.port != 0) {
            line.Add("port", PortName(summary.port)).Add("device", Device(summary.port));
        } else {
            line.AddNull("port").AddNull("device");
        }
        line.Add("seconds", summary.seconds);
        Print(line);
        ViewBase::Finish(summary);
    }

private:
    static void Print(const JsonLine &line) { PrintOut(line.Text() + "\n"); }

    int last_sent_ = -1;
};

class QuietView : public ViewBase {
public:
    using ViewBase::ViewBase;
    void Started(Phase) override {}
    void Moved(Phase, int) override {}
    void End(Phase, int32_t, const std::string &) override {}
};

}  // namespace

std::unique_ptr<ProgressView> MakeProgressView(OutputMode mode, uint64_t image_bytes, const PortMap &ports) {
    switch (mode) {
    case OutputMode::Terminal:
        return std::make_unique<TerminalView>(image_bytes, ports);
    case OutputMode::Plain:
        return std::make_unique<PlainView>(image_bytes, ports);
    case OutputMode::Json:
        return std::make_unique<JsonView>(image_bytes, ports);
    case OutputMode::Quiet:
        break;
    }
    return std::make_unique<QuietView>(image_bytes, ports);
}

}  // namespace kormelt::tool
