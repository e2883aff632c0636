#include "tools/kormelt/status_text.h"

#include <algorithm>
#include <cstdio>

#include "device/api.h"
#include "link/port_url.h"
#include "protocol/protocol.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/message_text.h"
#include "tools/kormelt/messages.h"
#include "tools/kormelt/searched_ports.h"
#include "tools/kormelt/port_report.h"

namespace kormelt::tool {
namespace {

constexpr uint32_t MS_PER_S = 1000;

// The tool's words where the binding, saying the same sentence, has its own.
constexpr char AGAIN[] = "run flash again";
constexpr char SEAL[] = "'kormelt seal'";
constexpr char HOST[] = "tool";

// rfc2217:// or socket://, as the library reads a port's name.
bool IsServerName(const std::string &device) {
    PortUrl url;
    return ParsePortUrl(device.c_str(), &url) == PortUrlParse::Url;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// What to do next and what the device holds meanwhile, after a phase
// stopped at percent.
std::string Retry(Phase phase, int percent) {
    switch (phase) {
    case Phase::Check:
    case Phase::Search:
        return FillMessage(messages::RETRY_UNCHANGED, {{"again", AGAIN}});
    case Phase::Erase: {
        const size_t erased = percent <= 0 ? 0 : std::min(ErasedBlocks(percent), ERASE_BLOCK_COUNT);
        if (erased == 0) {
            return FillMessage(messages::RETRY_ERASE_NONE, {{"again", AGAIN}});
        }
        return FillMessage(messages::RETRY_ERASE_SOME, {{"again", AGAIN},
                                                        {"erased", std::to_string(erased)},
                                                        {"blocks", std::to_string(ERASE_BLOCK_COUNT)}});
    }
    case Phase::Upload:
        return FillMessage(messages::RETRY_UPLOAD, {{"again", AGAIN}});
    case Phase::Restart:
        return FillMessage(messages::RETRY_RESTART, {{"again", AGAIN}});
    }
    return FillMessage("{Again}.", {{"again", AGAIN}});
}

}  // namespace

std::string ImageRefusalText(const std::string &path, const Bytes &image, int32_t status) {
    const std::string trailer_bytes = std::to_string(CRC_TRAILER_BYTES);
    if (image.empty()) {
        return FillMessage(messages::IMAGE_EMPTY, {{"path", path}, {"trailer_bytes", trailer_bytes}, {"seal", SEAL}});
    }
    if (image.size() < CRC_TRAILER_BYTES) {
        return FillMessage(messages::IMAGE_SINGLE_BYTE,
                           {{"path", path}, {"trailer_bytes", trailer_bytes}, {"seal", SEAL}});
    }
    if (image.size() < IMAGE_FILE_MIN_BYTES) {
        return FillMessage(messages::IMAGE_NO_FIRMWARE, {{"path", path},
                                                         {"trailer_bytes", trailer_bytes},
                                                         {"empty_crc", CrcText(InspectTrailer(Bytes{}).computed)},
                                                         {"seal", SEAL}});
    }
    if (status == KORMELT_STATUS_OK) {
        return "";
    }
    if (status == KORMELT_FILE_CHECK_OPEN_FAILED) {
        return FillMessage(messages::IMAGE_CHECK_OPEN, {{"source", "the copy of " + path + " made for it"},
                                                        {"status", std::to_string(status)},
                                                        {"again", "run the command again"}});
    }
    const Trailer trailer = InspectTrailer(image);
    if (trailer.stored == trailer.computed) {
        // The library checked the very bytes examined here.
        return "The library's check of " + path + " failed (status " + std::to_string(status) +
               ") although its CRC is right; this is a fault, please report it.";
    }
    const std::string text = FillMessage(messages::IMAGE_CRC, {{"path", path},
                                                               {"stored", CrcText(trailer.stored)},
                                                               {"data_bytes", std::to_string(trailer.data_bytes)},
                                                               {"computed", CrcText(trailer.computed)}});
    const uint16_t swapped = static_cast<uint16_t>(trailer.stored << 8 | trailer.stored >> 8);
    if (swapped == trailer.computed) {
        return text + " " + messages::IMAGE_CRC_SWAPPED;
    }
    return text + " " + FillMessage(messages::IMAGE_CRC_UNSEALED, {{"seal", SEAL}});
}

std::string PhaseFailureText(Phase phase, int32_t status, int percent, const std::string &image,
                             double exchange_seconds, const PortMap &map, const PortProber &probe,
                             uint32_t port, const PortGoneCheck &gone) {
    // How far it got means something only where the percentage counts work done.
    const bool counted = phase == Phase::Erase || phase == Phase::Upload;
    const std::string at = counted ? FillMessage(messages::AT_PERCENT, {{"percent", std::to_string(percent)}}) : "";
    const std::string failed = FillMessage(messages::PHASE_FAILED, {{"phase", PhaseName(phase)}, {"at", at}});
    const std::string code = std::to_string(status);
    const std::string retry = Retry(phase, percent);
    const std::string timeout_s = std::to_string(REPLY_TIMEOUT_MS / MS_PER_S);
    // The library waits REPLY_TIMEOUT_MS for each byte; a call that gave up
    // sooner met a line that failed, not a silent device.
    const bool line_failed = status == KORMELT_STATUS_WRITE ||
                             (status == KORMELT_STATUS_TIMEOUT && exchange_seconds * MS_PER_S < REPLY_TIMEOUT_MS);
    // A line that failed because its adapter was pulled out: what the person
    // needs to hear is that the port is gone, not only that it hung up.
    // A server on the network: the connection, not a device, failed.
    if (line_failed && port != 0 && IsServerName(map.Port(port).device)) {
        return FillMessage(messages::NETWORK_FAILED,
                           {{"failed", failed}, {"url", map.Port(port).device}, {"status", code}, {"retry", retry}});
    }
    if (line_failed && port != 0 && gone(map.Port(port).device)) {
        return FillMessage(messages::PORT_GONE,
                           {{"failed", failed}, {"path", map.Port(port).device}, {"status", code}, {"retry", retry}});
    }
    switch (status) {
    case KORMELT_STATUS_CANCELLED:
        return FillMessage(messages::CANCELLED, {{"phase", PhaseName(phase)},
                                                 {"at", at},
                                                 {"status", code},
                                                 {"closed", "; the port is closed"},
                                                 {"retry", retry}});
    case KORMELT_STATUS_NOT_FOUND:
        return FillMessage(messages::NOT_FOUND,
                           {{"ports", SEARCHED_PORTS}, {"status", code}, {"tried", PortsTriedText(map, probe)}, {"hint", SearchHint()}});
    case KORMELT_STATUS_IMAGE_OPEN:
        return FillMessage(messages::IMAGE_OPEN, {{"failed", failed},
                                                  {"source", "its copy of the image " + image},
                                                  {"status", code},
                                                  {"advice", "Check the free space and health of the temporary directory"},
                                                  {"again", AGAIN}});
    case KORMELT_STATUS_WRITE:
        return FillMessage(messages::WRITE, {{"failed", failed}, {"status", code}, {"retry", retry}});
    case KORMELT_STATUS_TIMEOUT:
        if (line_failed) {
            return FillMessage(messages::TIMEOUT_LINE_FAILED, {{"failed", failed},
                                                               {"seconds", Seconds(exchange_seconds)},
                                                               {"status", code},
                                                               {"retry", retry}});
        }
        if (phase == Phase::Restart) {
            return FillMessage(messages::TIMEOUT_RESTART,
                               {{"failed", failed}, {"timeout_s", timeout_s}, {"status", code}, {"retry", retry}});
        }
        return FillMessage(messages::TIMEOUT_SILENT,
                           {{"failed", failed}, {"timeout_s", timeout_s}, {"status", code}, {"retry", retry}});
    case KORMELT_STATUS_CRC:
        return FillMessage(messages::CRC, {{"failed", failed},
                                           {"status", code},
                                           {"baud", std::to_string(LINE_BAUD_RATE)},
                                           {"retry", retry}});
    case KORMELT_STATUS_PORT_NOT_OPEN:
        return FillMessage(messages::PORT_NOT_OPEN,
                           {{"failed", failed},
                            {"no_port", "the library had no open port"},
                            {"status", code},
                            {"consequence",
                             ", although the search had succeeded. This is a fault in the tool; please report it."}});
    default:
        return FillMessage(messages::UNKNOWN_STATUS,
                           {{"failed", failed}, {"host", HOST}, {"status", code}, {"retry", retry}});
    }
}

}  // namespace kormelt::tool
