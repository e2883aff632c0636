// How a flash run shows itself: bars on a terminal, one line per step in a
// log, JSON lines for scripts, or nothing but errors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/kormelt/phase.h"
#include "tools/kormelt/port_map.h"

namespace kormelt::tool {

enum class OutputMode { Terminal, Plain, Json, Quiet };

struct FlashSummary {
    int exit_code;
    bool has_failed_phase;
    Phase failed_phase;
    int32_t status;       // the library's status of the last call made
    std::string message;  // what went wrong and what to try; empty on success
    std::string image;
    uint64_t image_bytes;
    uint32_t port;  // n of COMn where the device answered, 0 when none did
    double seconds;
};

class ProgressView {
public:
    virtual ~ProgressView() = default;
    virtual void Begin(Phase phase) = 0;
    // percent as the library reported it.
    virtual void Update(Phase phase, int percent) = 0;
    // status 0 is success, KORMELT_STATUS_CANCELLED a cancel; note is a short result
    // shown with the phase ("30002 bytes, CRC 0x1D0F").
    virtual void End(Phase phase, int32_t status, const std::string &note) = 0;
    virtual void Finish(const FlashSummary &summary) = 0;
};

// image_bytes is the size of the file being uploaded, from which the upload's
// byte counts are derived; ports name the device behind each port searched.
std::unique_ptr<ProgressView> MakeProgressView(OutputMode mode, uint64_t image_bytes, const PortMap &ports);

}  // namespace kormelt::tool
