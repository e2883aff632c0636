// How a station run shows itself: on a terminal one row per port redrawn in
// place, otherwise plain lines, or JSON lines for programs. Every view is
// drawn from the rows alone, which the station owns; no view ever hears of
// a worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/station/station_row.h"

namespace kormelt::station {

enum class StationMode { Terminal, Plain, Json };

constexpr int REDRAW_INTERVAL_MS = 100;  // the live rows are drawn at most this often

struct ImageFacts {
    std::string path;
    uint64_t bytes = 0;
    uint16_t crc = 0;
    std::string sha256;
};

struct StationSummary {
    int exit_code = 0;
    std::string message;  // what stopped the run as a whole; empty when nothing did
    double seconds = 0.0;
    double station_cpu_seconds = 0.0;  // the station itself
    double workers_cpu_seconds = 0.0;  // its workers together
};

class StationView {
public:
    virtual ~StationView() = default;
    // The image was read and checked, once for all ports: ok, or why not.
    virtual void Checked(const ImageFacts &image, bool ok, const std::string &message) = 0;
    virtual void Changed(const std::vector<StationRow> &rows, size_t index, RowChange change) = 0;
    // Something that concerns the run rather than a port (a record that
    // cannot be written), as it happens.
    virtual void Problem(const std::string &message) = 0;
    // Called as time passes: the live view redraws what changed.
    virtual void Tick(const std::vector<StationRow> &rows, Clock::time_point now) = 0;
    virtual void Finish(const std::vector<StationRow> &rows, const StationSummary &summary) = 0;
};

std::unique_ptr<StationView> MakeStationView(StationMode mode, bool watch);

// The live rows as drawn in a terminal width columns wide: the name of the
// port (its location, else its path), its serial, with --watch how many
// devices its socket saw updated and failed, then the phase, the bar and
// the state. The columns line up across the rows; no line is wider than
// width.
std::vector<std::string> LiveFrame(const std::vector<StationRow> &rows, bool watch, size_t width,
                                   Clock::time_point now);

// The result of the run in one word, as the summary gives it.
const char *RunResult(int exit_code);

}  // namespace kormelt::station
