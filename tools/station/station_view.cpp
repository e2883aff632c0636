#include "tools/station/station_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "protocol/protocol.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/json_line.h"
#include "tools/kormelt/live_line.h"
#include "tools/kormelt/output.h"

namespace kormelt::station {
namespace {

constexpr char COLUMN_GAP[] = "  ";
constexpr char UNKNOWN[] = "-";
constexpr size_t PHASE_WIDTH = 9;          // "cancelled", the longest word in the phase column
constexpr size_t DETAIL_ROOM = 24;         // what the bar leaves the state at least, while it can
constexpr size_t BAR_TAIL = 8;             // "] 100%  " after the bar
constexpr int PLAIN_STEP_PERCENT = 10;     // one plain line per step of this size
constexpr uint64_t KIB = 1024;             // bytes
constexpr uint64_t SHOW_KIB_FROM = 10 * KIB;  // smaller counts are shown in bytes
constexpr char CURSOR_UP[] = "\x1b[%zuA";  // back to the first live row
constexpr char ERASE_TO_END[] = "\x1b[K";  // what a longer earlier text left on the line
constexpr size_t TERMINAL_SHA256_DIGITS = 16;  // enough to tell images apart at a glance; the other views give all

std::string Pad(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Bytes(uint64_t count) {
    char text[32];
    if (count < SHOW_KIB_FROM) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(count));
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(count) / KIB);
    }
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string Serial(const StationRow &row) { return row.identity.serial.empty() ? UNKNOWN : row.identity.serial; }

std::string Counts(const StationRow &row) {
    return "done " + std::to_string(row.done) + ", failed " + std::to_string(row.failed);
}

std::string PhaseWord(const StationRow &row) {
    switch (row.state) {
    case RowState::Queued:
        return "queued";
    case RowState::Running:
        return row.phase.empty() ? "starting" : row.phase;
    case RowState::Ok:
        return "done";
    case RowState::Failed:
        return "failed";
    case RowState::Cancelled:
        return "cancelled";
    }
    return "?";
}

std::string RunningDetail(const StationRow &row) {
    if (row.phase == "upload") {
        return Bytes(row.bytes) + " / " + Bytes(row.total);
    }
    if (row.phase == "erase") {
        return std::to_string(std::min(ErasedBlocks(row.percent), ERASE_BLOCK_COUNT)) + " of " +
               std::to_string(ERASE_BLOCK_COUNT) + " blocks";
    }
    if (row.phase == "search") {
        return "looking for the device";
    }
    if (row.phase == "restart") {
        return "restarting the device";
    }
    return "";
}

std::string Detail(const StationRow &row, Clock::time_point now) {
    switch (row.state) {
    case RowState::Queued:
        return row.present ? "waiting for a free job" : "unplugged";
    case RowState::Running:
        return RunningDetail(row);
    case RowState::Ok:
        return std::string(row.present ? "" : "unplugged; ") + "ok in " + Seconds(RowSeconds(row, now));
    case RowState::Failed:
        return std::string(row.present ? "" : "unplugged; ") +
               (row.message.empty() ? "exit code " + std::to_string(row.exit_code) : row.message);
    case RowState::Cancelled:
        return "cancelled" + (row.phase.empty() ? std::string() : " during " + row.phase) + " after " +
               Seconds(RowSeconds(row, now));
    }
    return "";
}

// "1-1.2:1.0 A50285BI" for the lines that name a row: its name and, when
// known, its serial.
std::string PlainName(const StationRow &row) {
    return RowName(row) + (row.identity.serial.empty() ? "" : " " + row.identity.serial);
}

tool::JsonLine &TextOrNull(tool::JsonLine &line, const char *key, const std::string &value) {
    return value.empty() ? line.AddNull(key) : line.Add(key, value);
}

// Every line names its port; those about the run as a whole name none.
tool::JsonLine RowLine(const char *event, const StationRow *row) {
    tool::JsonLine line;
    line.Add("event", event);
    if (row == nullptr) {
        line.AddNull("port").AddNull("location").AddNull("serial");
    } else {
        line.Add("port", row->port);
        TextOrNull(line, "location", row->identity.location);
        TextOrNull(line, "serial", row->identity.serial);
    }
    return line;
}

struct Counted {
    size_t devices = 0;
    int ok = 0;
    int failed = 0;
    int cancelled = 0;
};

Counted Count(const std::vector<StationRow> &rows) {
    Counted counted;
    counted.devices = rows.size();
    for (const StationRow &row : rows) {
        counted.ok += row.done;
        counted.failed += row.failed;
        counted.cancelled += row.state == RowState::Cancelled ? 1 : 0;
    }
    return counted;
}

std::string CountsLine(const std::vector<StationRow> &rows, const StationSummary &summary, bool watch) {
    const Counted c = Count(rows);
    std::string line = "station: " + std::to_string(c.ok) + " updated, " + std::to_string(c.failed) + " failed";
    if (c.cancelled > 0) {
        line += ", " + std::to_string(c.cancelled) + " cancelled";
    }
    line += watch ? " in " + std::to_string(c.devices) + " sockets" : " of " + std::to_string(c.devices) + " ports";
    return line + ", " + Seconds(summary.seconds) + " in all\n";
}

// The failures for people, on stderr: each port with its message.
void SayFailures(const std::vector<StationRow> &rows, const StationSummary &summary) {
    for (const StationRow &row : rows) {
        if (row.state == RowState::Failed) {
            std::fprintf(stderr, "kormelt: %s (%s, serial %s): %s\n", RowName(row).c_str(), row.port.c_str(),
                         Serial(row).c_str(), row.message.c_str());
        }
    }
    if (!summary.message.empty()) {
        std::fprintf(stderr, "kormelt: %s\n", summary.message.c_str());
    }
}

class TerminalView : public StationView {
public:
    explicit TerminalView(bool watch) : watch_(watch) {}

    void Checked(const ImageFacts &image, bool ok, const std::string &) override {
        if (ok) {
            PrintOut(tool::FitLine("check   " + image.path + ": " + tool::SizeAndCrcText(image.bytes, image.crc) +
                                       ", sha256 " + image.sha256.substr(0, TERMINAL_SHA256_DIGITS),
                                   tool::LiveLineWidth(tool::TerminalColumns())) +
                     "\n");
        }
    }
    void Changed(const std::vector<StationRow> &, size_t, RowChange) override { dirty_ = true; }
    void Problem(const std::string &message) override { problems_.push_back(message); }
    void Tick(const std::vector<StationRow> &rows, Clock::time_point now) override {
        if (dirty_ && now - drawn_at_ >= std::chrono::milliseconds(REDRAW_INTERVAL_MS)) {
            Draw(rows, now);
        }
    }
    void Finish(const std::vector<StationRow> &rows, const StationSummary &summary) override {
        if (!rows.empty()) {
            Draw(rows, Clock::now());
        }
        PrintOut(CountsLine(rows, summary, watch_));
        for (const std::string &problem : problems_) {
            std::fprintf(stderr, "kormelt: %s\n", problem.c_str());
        }
        SayFailures(rows, summary);
    }

private:
    // One write for the whole frame, so that the terminal never shows half
    // of one; each row ends with an erase of what was there before.
    void Draw(const std::vector<StationRow> &rows, Clock::time_point now) {
        const std::vector<std::string> frame = LiveFrame(rows, watch_, tool::LiveLineWidth(tool::TerminalColumns()), now);
        std::string out;
        if (drawn_rows_ > 0) {
            char up[32];
            std::snprintf(up, sizeof up, CURSOR_UP, drawn_rows_);
            out += up;
        }
        for (const std::string &line : frame) {
            out += "\r" + line + ERASE_TO_END + "\n";
        }
        PrintOut(out);
        drawn_rows_ = frame.size();
        drawn_at_ = now;
        dirty_ = false;
    }

    static void PrintOut(const std::string &text) { tool::PrintOut(text); }

    bool watch_;
    bool dirty_ = false;
    size_t drawn_rows_ = 0;
    Clock::time_point drawn_at_{};
    std::vector<std::string> problems_;
};

class PlainView : public StationView {
public:
    explicit PlainView(bool watch) : watch_(watch) {}

    void Checked(const ImageFacts &image, bool ok, const std::string &) override {
        if (ok) {
            Print("check: " + image.path + ", " + tool::SizeAndCrcText(image.bytes, image.crc) + ", sha256 " +
                  image.sha256);
        }
    }
    void Changed(const std::vector<StationRow> &rows, size_t index, RowChange change) override {
        const StationRow &row = rows[index];
        const std::string name = PlainName(row) + ": ";
        switch (change) {
        case RowChange::Added:
            Print(name + "found on " + row.port +
                  (row.identity.UsbId().empty() ? "" : " (USB " + row.identity.UsbId() + ")"));
            break;
        case RowChange::PhaseStarted:
            steps_[index] = 0;
            if (row.phase != "check") {
                Print(name + row.phase + " started");
            }
            break;
        case RowChange::Progress: {
            const int step = row.percent / PLAIN_STEP_PERCENT;
            if (row.percent < PERCENT_DONE && step > steps_[index]) {
                steps_[index] = step;
                Print(name + row.phase + " " + std::to_string(row.percent) + "%");
            }
            break;
        }
        case RowChange::Ended:
            if (row.state == RowState::Ok) {
                Print(name + "ok in " + Seconds(RowSeconds(row, Clock::now())));
            } else if (row.state == RowState::Cancelled) {
                Print(name + Detail(row, Clock::now()));
            } else {
                Print(name + "failed (exit code " + std::to_string(row.exit_code) + "): " + row.message);
            }
            break;
        case RowChange::Unplugged:
            Print(name + "unplugged");
            break;
        case RowChange::None:
        case RowChange::Started:
        case RowChange::PhaseEnded:
            break;
        }
    }
    void Problem(const std::string &message) override { Print("station: " + message); }
    void Tick(const std::vector<StationRow> &, Clock::time_point) override {}
    void Finish(const std::vector<StationRow> &rows, const StationSummary &summary) override {
        tool::PrintOut(CountsLine(rows, summary, watch_));
        SayFailures(rows, summary);
    }

private:
    static void Print(const std::string &line) { tool::PrintOut(line + "\n"); }

    bool watch_;
    std::map<size_t, int> steps_;  // per row: the last tenth of its phase printed
};

class JsonView : public StationView {
public:
    void Checked(const ImageFacts &image, bool ok, const std::string &message) override {
        const std::string crc = tool::CrcText(image.crc);
        tool::JsonLine line = RowLine("check", nullptr);
        line.Add("image", image.path).Add("result", ok ? "ok" : "failed");
        if (ok) {
            line.Add("bytes", image.bytes).Add("crc", crc).Add("sha256", image.sha256);
        } else {
            line.Add("message", message);
        }
        Print(line);
    }
    void Changed(const std::vector<StationRow> &rows, size_t index, RowChange change) override {
        const StationRow &row = rows[index];
        switch (change) {
        case RowChange::Added: {
            tool::JsonLine line = RowLine("device", &row);
            TextOrNull(line, "vid", row.identity.vendor_id);
            TextOrNull(line, "pid", row.identity.product_id);
            TextOrNull(line, "manufacturer", row.identity.manufacturer);
            TextOrNull(line, "product", row.identity.product);
            Print(line);
            break;
        }
        case RowChange::Started:
            Print(RowLine("started", &row));
            break;
        case RowChange::PhaseStarted:
        case RowChange::Progress:
        case RowChange::PhaseEnded: {
            const char *event = change == RowChange::PhaseStarted ? "start"
                                : change == RowChange::Progress   ? "progress"
                                                                  : "end";
            tool::JsonLine line = RowLine(event, &row);
            line.Add("phase", row.phase).Add("percent", row.percent);
            if (row.phase == "upload") {
                line.Add("bytes", row.bytes).Add("total", row.total);
            }
            if (change == RowChange::PhaseEnded) {
                line.Add("result", row.phase_result).Add("status", row.status);
            }
            Print(line);
            break;
        }
        case RowChange::Ended:
            Print(Result(RowLine("result", &row), row));
            break;
        case RowChange::Unplugged:
            Print(RowLine("unplugged", &row));
            break;
        case RowChange::None:
            break;
        }
    }
    void Problem(const std::string &message) override {
        tool::JsonLine line = RowLine("problem", nullptr);
        line.Add("message", message);
        Print(line);
    }
    void Tick(const std::vector<StationRow> &, Clock::time_point) override {}
    void Finish(const std::vector<StationRow> &rows, const StationSummary &summary) override {
        const Counted c = Count(rows);
        tool::JsonLine line = RowLine("summary", nullptr);
        line.Add("result", RunResult(summary.exit_code)).Add("exit_code", summary.exit_code);
        TextOrNull(line, "message", summary.message);
        line.Add("devices", static_cast<uint64_t>(c.devices))
            .Add("ok", c.ok)
            .Add("failed", c.failed)
            .Add("cancelled", c.cancelled);
        std::string results = "[";
        for (const StationRow &row : rows) {
            tool::JsonLine result;
            result.Add("port", row.port);
            TextOrNull(result, "location", row.identity.location);
            TextOrNull(result, "serial", row.identity.serial);
            results += (results.size() > 1 ? "," : "") + Result(result, row).Text();
        }
        line.AddJson("results", results + "]")
            .Add("seconds", summary.seconds)
            .Add("station_cpu_seconds", summary.station_cpu_seconds)
            .Add("workers_cpu_seconds", summary.workers_cpu_seconds);
        Print(line);
        // For people reading stderr, as flash --json does.
        SayFailures(rows, summary);
    }

private:
    static tool::JsonLine Result(tool::JsonLine line, const StationRow &row) {
        line.Add("result", ResultWord(row.state));
        if (row.exit_code >= 0) {
            line.Add("exit_code", row.exit_code);
        } else {
            line.AddNull("exit_code");
        }
        TextOrNull(line, "phase", row.failed_phase);
        TextOrNull(line, "message", row.message);
        line.Add("seconds", RowSeconds(row, Clock::now())).Add("done", row.done).Add("failed", row.failed);
        return line;
    }
    static void Print(const tool::JsonLine &line) { tool::PrintOut(line.Text() + "\n"); }
};

}  // namespace

const char *RunResult(int exit_code) {
    return exit_code == tool::EXIT_OK ? "ok" : exit_code == tool::EXIT_CANCELLED ? "cancelled" : "failed";
}

std::vector<std::string> LiveFrame(const std::vector<StationRow> &rows, bool watch, size_t width,
                                   Clock::time_point now) {
    size_t name_width = 0;
    size_t serial_width = 0;
    size_t counts_width = 0;
    for (const StationRow &row : rows) {
        name_width = std::max(name_width, RowName(row).size());
        serial_width = std::max(serial_width, Serial(row).size());
        counts_width = std::max(counts_width, Counts(row).size());
    }
    // One bar width for every row, so that the percentages line up too; a
    // long state is cut at the line's end instead.
    const size_t label_width = name_width + serial_width + 2 * std::strlen(COLUMN_GAP) + PHASE_WIDTH +
                               (watch ? counts_width + std::strlen(COLUMN_GAP) : 0);
    const size_t fixed = label_width + 1 + BAR_TAIL + DETAIL_ROOM;
    const size_t bar = std::clamp(width > fixed ? width - fixed : 0, tool::LIVE_BAR_MIN, tool::LIVE_BAR_MAX);
    std::vector<std::string> frame;
    for (const StationRow &row : rows) {
        std::string label = Pad(RowName(row), name_width) + COLUMN_GAP + Pad(Serial(row), serial_width) + COLUMN_GAP;
        if (watch) {
            label += Pad(Counts(row), counts_width) + COLUMN_GAP;
        }
        label += Pad(PhaseWord(row), PHASE_WIDTH);
        const int percent = std::clamp(row.state == RowState::Ok ? PERCENT_DONE : row.percent, 0, PERCENT_DONE);
        const size_t filled = static_cast<size_t>(percent) * bar / static_cast<size_t>(PERCENT_DONE);
        char tail[16];
        std::snprintf(tail, sizeof tail, "] %3d%%  ", percent);
        frame.push_back(tool::FitLine(
            label + "[" + std::string(filled, '#') + std::string(bar - filled, '-') + tail + Detail(row, now), width));
    }
    return frame;
}

std::unique_ptr<StationView> MakeStationView(StationMode mode, bool watch) {
    switch (mode) {
    case StationMode::Terminal:
        return std::make_unique<TerminalView>(watch);
    case StationMode::Plain:
        return std::make_unique<PlainView>(watch);
    case StationMode::Json:
        break;
    }
    return std::make_unique<JsonView>();
}

}  // namespace kormelt::station
