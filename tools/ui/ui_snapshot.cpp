#include "tools/ui/ui_snapshot.h"

#include <algorithm>

#include "tools/common/name_table.h"
#include "tools/kormelt/image.h"

namespace kormelt::ui {
namespace {

using station::RowState;
using station::StationRow;

constexpr int PERCENT_DONE = 100;

// Where each phase begins and ends on the update's one bar, in percent:
// the upload is most of the time an update takes.
struct PhaseSpan {
    const char *phase;
    int from;
    int to;
};
constexpr PhaseSpan PHASE_SPANS[] = {
    {"search", 0, 5}, {"erase", 5, 15}, {"upload", 15, 97}, {"restart", 97, 100},
};

constexpr Named<RowState> DEVICE_STATES[] = {
    {RowState::Queued, "waiting"}, {RowState::Running, "running"},     {RowState::Ok, "ok"},
    {RowState::Failed, "failed"},  {RowState::Cancelled, "cancelled"},
};
static_assert(NamesEveryValue(DEVICE_STATES, RowState::Cancelled));

const PhaseSpan *SpanOf(const std::string &phase) {
    for (const PhaseSpan &span : PHASE_SPANS) {
        if (phase == span.phase) {
            return &span;
        }
    }
    return nullptr;
}

}  // namespace

nlohmann::json ImageJson(const ImageSummary &image) {
    return {{"name", image.name},
            {"size", image.size},
            {"crc", tool::CrcText(image.crc)},
            {"sha256", image.sha256},
            {"format", image.format}};
}

const char *DeviceState(RowState state) { return NameIn(DEVICE_STATES, state, "running"); }

int UpdatePercent(const StationRow &row) {
    if (row.state == RowState::Ok) {
        return PERCENT_DONE;
    }
    const PhaseSpan *span = SpanOf(row.phase);
    if (span == nullptr) {
        return 0;
    }
    const int percent = std::clamp(row.percent, 0, PERCENT_DONE);
    return span->from + (span->to - span->from) * percent / PERCENT_DONE;
}

nlohmann::json Snapshot(const UiStatus &status, const std::vector<StationRow> &rows, station::Clock::time_point now) {
    nlohmann::json snapshot = {{"locked", status.locked},
                               {"auto", status.auto_flash},
                               {"connected_clients", status.clients},
                               {"image", nullptr},
                               {"image_error", nullptr},
                               {"devices", nlohmann::json::array()},
                               {"records_version", status.records_version}};
    if (status.image) {
        snapshot["image"] = ImageJson(*status.image);
    }
    if (!status.image_error.empty()) {
        snapshot["image_error"] = status.image_error;
    }
    for (const StationRow &row : rows) {
        const bool running = row.state == RowState::Running;
        if (!row.present && !running) {
            continue;
        }
        const bool ended = station::Ended(row.state);
        nlohmann::json device = {{"port", row.port},
                                 {"location", row.identity.location},
                                 {"serial", row.identity.serial},
                                 {"product", row.identity.product},
                                 {"state", DeviceState(row.state)},
                                 {"phase", running && SpanOf(row.phase) != nullptr ? row.phase : ""},
                                 {"percent", UpdatePercent(row)},
                                 {"seconds", nullptr},
                                 {"message", row.state == RowState::Failed || row.state == RowState::Cancelled
                                                 ? row.message
                                                 : ""}};
        if (running || ended) {
            device["seconds"] = station::RowSeconds(row, now);
        }
        snapshot["devices"].push_back(device);
    }
    return snapshot;
}

}  // namespace kormelt::ui
