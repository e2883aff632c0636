#include "tools/ui/ui_station.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <stdexcept>

#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/station/station_view.h"

namespace kormelt::ui {
namespace {

using station::Clock;
using station::RowChange;
using station::RowState;

constexpr int SCAN_INTERVAL_MS = 500;    // devices plugged in show up within half a second, as with --watch
constexpr int IDLE_POLL_MS = 100;        // the longest wait: a Ctrl-C just before it is seen this late
constexpr int PUBLISH_INTERVAL_MS = 100;  // the event streams get at most ten snapshots a second

int MillisecondsUntil(Clock::time_point now, Clock::time_point then) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, IDLE_POLL_MS));
}

}  // namespace

// What the engine tells: a line per finished update on stdout, as the
// station prints them, and a change to publish; each start and end of an
// update is a record more.
class UiStation::View : public station::StationView {
public:
    View() : lines_(station::MakeStationView(station::StationMode::Plain, true)) {}

    void Checked(const station::ImageFacts &, bool, const std::string &) override {}
    void Changed(const std::vector<station::StationRow> &rows, size_t index, RowChange change) override {
        changed = true;
        if (change == RowChange::Started || change == RowChange::Ended) {
            ++records_version;
        }
        if (change == RowChange::Ended) {
            lines_->Changed(rows, index, change);
        }
    }
    void Problem(const std::string &message) override { lines_->Problem(message); }
    void Tick(const std::vector<station::StationRow> &, Clock::time_point) override {}
    void Finish(const std::vector<station::StationRow> &, const station::StationSummary &) override {}

    bool changed = false;
    uint64_t records_version = 0;

private:
    std::unique_ptr<station::StationView> lines_;
};

UiStation::UiStation(records::RecordStore &records, std::string program, station::PortChoice choice, size_t jobs,
                     bool locked)
    : view_(std::make_unique<View>()), engine_(*view_, records, std::move(program), jobs), choice_(std::move(choice)) {
    status_.locked = locked;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("cannot make the station's wake-up pipe: ") + std::strerror(errno));
    }
    Publish();
}

UiStation::~UiStation() {
    for (int fd : wake_) {
        if (fd >= 0) {
            (void)close(fd);  // nothing is pending on a pipe that only wakes
        }
    }
}

void UiStation::Wake() {
    const char byte = 1;
    // A full pipe wakes the loop already; a failed write changes nothing else.
    (void)!write(wake_[1], &byte, 1);
}

bool UiStation::Call(std::function<void()> task) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        if (closed_) {
            return false;
        }
        tasks_.push_back([task = std::move(task), done] {
            task();
            done->set_value();
        });
    }
    Wake();
    finished.wait();
    return true;
}

void UiStation::RunTasks() {
    char drain[64];
    while (read(wake_[0], drain, sizeof drain) > 0) {
        // emptied until EAGAIN: every byte only said "look at the tasks"
    }
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        tasks.swap(tasks_);
    }
    for (const std::function<void()> &task : tasks) {
        task();
    }
}

nlohmann::json UiStation::Build() const {
    UiStatus status = status_;
    status.records_version = view_->records_version;
    return Snapshot(status, engine_.rows(), Clock::now());
}

void UiStation::Publish() {
    const std::string text = Build().dump();
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        published_ = text;
        ++version_;
    }
    published_changed_.notify_all();
    dirty_ = false;
    view_->changed = false;
}

std::string UiStation::Published(uint64_t *version) const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    *version = version_;
    return published_;
}

bool UiStation::WaitNewer(uint64_t version, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(published_mutex_);
    return published_changed_.wait_for(lock, timeout, [&] { return version_ > version || ended_; }) &&
           version_ > version;
}

bool UiStation::ended() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return ended_;
}

std::string UiStation::State() {
    std::string text;
    if (!Call([&] { text = Build().dump(); })) {
        uint64_t version = 0;
        text = Published(&version);  // the last state there was
    }
    return text;
}

int UiStation::Flash(std::string *error) {
    int started = -1;
    const bool ran = Call([&] {
        if (image_ == nullptr) {
            *error = status_.image_error.empty() ? "No image to flash: choose an image file first."
                                                 : "No image to flash: " + status_.image_error;
            return;
        }
        started = 0;
        const std::vector<station::StationRow> &rows = engine_.rows();
        for (size_t index = 0; index < rows.size(); ++index) {
            if (!rows[index].present || engine_.running(index)) {
                continue;
            }
            engine_.Requeue(index, false);
            ++started;
        }
        dirty_ = true;
    });
    if (!ran) {
        *error = "The station is ending; nothing was started.";
    }
    return started;
}

void UiStation::Stop() {
    Call([&] {
        const std::vector<station::StationRow> &rows = engine_.rows();
        for (size_t index = 0; index < rows.size(); ++index) {
            if (engine_.running(index) || (rows[index].state == RowState::Queued && !rows[index].hold)) {
                engine_.Cancel(index, Clock::now());
            }
        }
        dirty_ = true;
    });
}

bool UiStation::SetAuto(bool on) {
    bool now_on = on;
    Call([&] {
        status_.auto_flash = on;
        now_on = status_.auto_flash;
        dirty_ = true;
    });
    return now_on;
}

void UiStation::SetImage(std::shared_ptr<const UiImage> image, const std::string &refusal) {
    Call([&] {
        image_ = image;
        engine_.SetImage(image);
        status_.image = image == nullptr ? std::nullopt : std::optional<ImageSummary>(image->summary);
        status_.image_error = refusal;
        dirty_ = true;
    });
}

void UiStation::ClientsChanged(int delta) {
    Call([&] {
        status_.clients = static_cast<size_t>(std::max<long long>(0, static_cast<long long>(status_.clients) + delta));
        dirty_ = true;
    });
}

void UiStation::Begin(std::shared_ptr<const UiImage> image) {
    image_ = image;
    engine_.SetImage(image);
    status_.image = image == nullptr ? std::nullopt : std::optional<ImageSummary>(image->summary);
    Publish();
}

int UiStation::Run() {
    int exit_code = tool::EXIT_CANCELLED;
    Clock::time_point next_scan = Clock::now();
    Clock::time_point next_publish = next_scan;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (tool::CancelRequested() && !engine_.stopping()) {
            engine_.CancelAll(now);
        }
        RunTasks();
        if (!engine_.stopping() && now >= next_scan) {
            // A device that appears is flashed at once only with auto on and an image.
            engine_.Scan(station::FindCandidates(choice_, true), !(status_.auto_flash && image_ != nullptr));
            next_scan = now + std::chrono::milliseconds(SCAN_INTERVAL_MS);
        }
        if (!engine_.StartQueued(now)) {
            std::fprintf(stderr, "kormelt: %s\n", engine_.fatal().c_str());
            exit_code = tool::EXIT_SYSTEM;
            engine_.CancelAll(now);
        }
        engine_.KillOverdue(now);
        if (engine_.stopping() && engine_.Running() == 0) {
            break;
        }
        now = Clock::now();
        const bool changed = dirty_ || view_->changed;
        if (changed && now >= next_publish) {
            Publish();
            next_publish = now + std::chrono::milliseconds(PUBLISH_INTERVAL_MS);
        }
        int timeout = engine_.stopping() ? IDLE_POLL_MS : MillisecondsUntil(now, next_scan);
        if (dirty_ || view_->changed) {
            timeout = std::min(timeout, MillisecondsUntil(now, next_publish));
        }
        engine_.Wait(timeout, wake_[0]);
    }
    Publish();
    {
        std::lock_guard<std::mutex> lock(tasks_mutex_);
        closed_ = true;
    }
    RunTasks();  // whoever still waits gets an answer
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        ended_ = true;
    }
    published_changed_.notify_all();
    if (engine_.records_failed()) {
        std::fprintf(stderr, "kormelt: the records cannot be written: %s\n", engine_.records_error().c_str());
        exit_code = tool::EXIT_SYSTEM;
    }
    return exit_code;
}

}  // namespace kormelt::ui
