// The state the page is drawn from, as one JSON object: the image, the
// switches and a device per row the station shows. Pure: drawn from the
// station's rows and the server's own facts alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/station/station_row.h"

namespace kormelt::ui {

struct ImageSummary {
    std::string name;
    uint64_t size = 0;
    uint16_t crc = 0;
    std::string sha256;
    std::string format;  // "image" for an image file, else the firmware's format word ("ihex", ...)
};

struct UiStatus {
    bool locked = false;
    bool auto_flash = false;
    size_t clients = 0;  // event streams open
    std::optional<ImageSummary> image;
    std::string image_error;  // why the last upload was refused; empty when none
    uint64_t records_version = 0;
};

// The image as the page shows it: name, size, CRC, SHA-256 and format.
nlohmann::json ImageJson(const ImageSummary &image);

// "waiting", "running", "ok", "failed" or "cancelled".
const char *DeviceState(station::RowState state);

// How far a row's update is, 0 to 100, across its phases.
int UpdatePercent(const station::StationRow &row);

// The rows of devices plugged in, and those gone while their update runs.
nlohmann::json Snapshot(const UiStatus &status, const std::vector<station::StationRow> &rows,
                        station::Clock::time_point now);

}  // namespace kormelt::ui
