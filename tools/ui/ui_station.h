// The station behind the page: the engine of `kormelt station` run on the
// main thread, the scan repeated as with --watch, each device found held
// until the page asks for its update (or flashed at once with auto on).
// The HTTP handlers never touch the engine: they hand it tasks that the
// main thread runs between two of its waits, and read the snapshot it
// publishes, so a request waits at most one round of the loop and the
// updates never wait for a request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "tools/kormelt/image_input.h"
#include "tools/records/records.h"
#include "tools/station/station_engine.h"
#include "tools/ui/ui_snapshot.h"

namespace kormelt::ui {

// An image the page may flash: its facts for the engine and the records,
// its summary for the page, and the private copy its workers read, which
// goes with the last job that holds it.
struct UiImage : station::EngineImage {
    ImageSummary summary;
    tool::ImageInput input;
};

class UiStation {
public:
    UiStation(records::RecordStore &records, std::string program, station::PortChoice choice, size_t jobs,
              bool locked);
    ~UiStation();
    UiStation(const UiStation &) = delete;
    UiStation &operator=(const UiStation &) = delete;

    // The image to start with, before Run.
    void Begin(std::shared_ptr<const UiImage> image);
    // The main thread: runs until Ctrl-C, SIGTERM or SIGHUP, then cancels
    // the updates running, records them and returns EXIT_CANCELLED
    // (EXIT_SYSTEM when the records cannot be written at the first start).
    int Run();

    // Any thread. Each waits for the main thread to run it.
    std::string State();  // the snapshot now, as JSON text
    // The devices whose update was started, or -1 with a reason when there
    // is no image.
    int Flash(std::string *error);
    void Stop();
    bool SetAuto(bool on);
    // The image for what is flashed from now on; nullptr with the reason it
    // was refused clears it.
    void SetImage(std::shared_ptr<const UiImage> image, const std::string &refusal);
    // An event stream opened (+1) or closed (-1).
    void ClientsChanged(int delta);

    // The last snapshot published, and its version, which grows with each.
    std::string Published(uint64_t *version) const;
    // Waits until a snapshot newer than version is published, the station
    // ends, or timeout passes; true for a newer one.
    bool WaitNewer(uint64_t version, std::chrono::milliseconds timeout) const;
    bool ended() const;

private:
    class View;

    // Runs task on the main thread and waits for it; false, without running
    // it, once the station has ended.
    bool Call(std::function<void()> task);
    void RunTasks();
    void Wake();
    void Publish();
    nlohmann::json Build() const;

    std::unique_ptr<View> view_;
    station::StationEngine engine_;
    const station::PortChoice choice_;
    UiStatus status_;  // the main thread's
    std::shared_ptr<const UiImage> image_;
    bool dirty_ = true;

    int wake_[2] = {-1, -1};  // a pipe: a task waits, or something changed
    std::mutex tasks_mutex_;
    std::deque<std::function<void()>> tasks_;
    bool closed_ = false;

    mutable std::mutex published_mutex_;
    mutable std::condition_variable published_changed_;
    std::string published_;
    uint64_t version_ = 0;
    bool ended_ = false;
};

}  // namespace kormelt::ui
