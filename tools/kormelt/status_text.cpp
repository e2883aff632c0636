#include "tools/kormelt/status_text.h"

#include <algorithm>
#include <cstdio>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/port_report.h"

namespace kormelt::tool {
namespace {

constexpr uint32_t MS_PER_S = 1000;

std::string Status(int32_t status) { return " (status " + std::to_string(status) + ")"; }

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// What to do next and what the device holds meanwhile, after a phase
// stopped at percent.
std::string Retry(Phase phase, int percent) {
    switch (phase) {
    case Phase::Check:
    case Phase::Search:
        return "Run flash again; nothing was changed on the device.";
    case Phase::Erase: {
        const size_t erased = percent <= 0 ? 0 : std::min(ErasedBlocks(percent), ERASE_BLOCK_COUNT);
        if (erased == 0) {
            return "Run flash again; the device may have erased its first block already.";
        }
        return "Run flash again: " + std::to_string(erased) + " of " + std::to_string(ERASE_BLOCK_COUNT) +
               " blocks were already erased, so the device no longer holds its old firmware.";
    }
    case Phase::Upload:
        return "Run flash again; until then the device holds a partial image.";
    case Phase::Restart:
        return "The image is fully written: power-cycle the device to start it, or run flash again.";
    }
    return "Run flash again.";
}

std::string Capitalised(const std::string &text) {
    std::string sentence = text;
    if (!sentence.empty() && sentence[0] >= 'a' && sentence[0] <= 'z') {
        sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    }
    return sentence;
}

}  // namespace

std::string ImageRefusalText(const std::string &path, const Bytes &image, int32_t status) {
    const std::string make = "make an image with 'kormelt seal'.";
    if (image.empty()) {
        return path + " is empty: an image holds the firmware followed by its 2-byte CRC; " + make;
    }
    if (image.size() == 1) {
        return path + " holds a single byte, too short for its 2-byte CRC trailer; " + make;
    }
    if (image.size() < IMAGE_FILE_MIN_BYTES) {
        return path + " holds only the 2 bytes of a CRC trailer and no firmware (the CRC of nothing is " +
               CrcText(InspectTrailer(Bytes{}).computed) + ", so two bytes AA AA pass the CRC check); " +
               make;
    }
    if (status == KORMELT_STATUS_OK) {
        return "";
    }
    if (status == KORMELT_FILE_CHECK_OPEN_FAILED) {
        return "The library cannot open the copy of " + path + " made for it (status -1); run the command again.";
    }
    const Trailer trailer = InspectTrailer(image);
    if (trailer.stored == trailer.computed) {
        return "The library's check of " + path + " failed (status " + std::to_string(status) +
               ") although its CRC is right; this is a fault, please report it.";
    }
    std::string text = path + " fails its CRC check: its last two bytes hold " + CrcText(trailer.stored) +
                       " (high byte first), but the CRC of the " + std::to_string(trailer.data_bytes) +
                       " bytes before them is " + CrcText(trailer.computed) + ".";
    const uint16_t swapped = static_cast<uint16_t>(trailer.stored << 8 | trailer.stored >> 8);
    if (swapped == trailer.computed) {
        text += " The trailer was written low byte first; it must be high byte first.";
    } else {
        text +=
            " If the file is raw firmware without a trailer, make an image of it with 'kormelt seal'; "
            "if it was sealed, it has been changed or damaged since.";
    }
    return text;
}

std::string PhaseFailureText(Phase phase, int32_t status, int percent, const std::string &image,
                             double exchange_seconds, const PortMap &map, const PortProber &probe) {
    // How far it got means something only where the percentage counts work done.
    const bool counted = phase == Phase::Erase || phase == Phase::Upload;
    const std::string at = counted ? " at " + std::to_string(percent) + "%" : "";
    const std::string failed = Capitalised(PhaseName(phase)) + " failed" + at;
    const std::string silence = "within " + std::to_string(REPLY_TIMEOUT_MS / MS_PER_S) + " s";
    switch (status) {
    case KORMELT_STATUS_CANCELLED:
        return std::string("Cancelled during ") + PhaseName(phase) + at + Status(status) + "; the port is closed. " +
               Retry(phase, percent);
    case KORMELT_STATUS_NOT_FOUND:
        return "No device answered on COM1 to COM7" + Status(status) + ". Tried: " + PortsTriedText(map, probe) + ". " +
               SearchHint() +
               "; check that the device is powered and connected and that no other program "
               "holds its port.";
    case KORMELT_STATUS_IMAGE_OPEN:
        return failed + ": the library could not read its copy of the image " + image + Status(status) +
               ". Check the free space and health of the temporary directory, and run flash again; until "
               "then the device holds a partial image.";
    case KORMELT_STATUS_WRITE:
        return failed + ": writing to the port failed" + Status(status) +
               "; the adapter may have been unplugged or the port taken away. Check the connection. " +
               Retry(phase, percent);
    case KORMELT_STATUS_TIMEOUT:
        // The library waits REPLY_TIMEOUT_MS for each byte; a call that gave
        // up sooner met a line that failed, not a silent device.
        if (exchange_seconds * MS_PER_S < REPLY_TIMEOUT_MS) {
            return failed + ": the line failed after " + Seconds(exchange_seconds) +
                   ", before a silent device would have timed out" + Status(status) +
                   ": the port hung up (an adapter unplugged, a device reset) or brought bytes that never "
                   "formed a reply. Check the cable and the adapter. " +
                   Retry(phase, percent);
        }
        if (phase == Phase::Restart) {
            return failed + ": the device did not confirm the restart command " + silence + Status(status) + ". " +
                   Retry(phase, percent);
        }
        return failed + ": the device stopped answering (no reply " + silence + ", status " + std::to_string(status) +
               "). Check its power and cable. " + Retry(phase, percent);
    case KORMELT_STATUS_CRC:
        return failed + ": a reply from the device arrived damaged (CRC error, status " + std::to_string(status) +
               "). The line may be noisy or not at " + std::to_string(LINE_BAUD_RATE) +
               " baud: check the cable. " + Retry(phase, percent);
    case KORMELT_STATUS_PORT_NOT_OPEN:
        return failed + ": the library had no open port" + Status(status) +
               ", although the search had succeeded. This is a fault in the tool; please report it.";
    default:
        return failed + ": the library returned a status this tool does not know" + Status(status) + ". " +
               Retry(phase, percent);
    }
}

}  // namespace kormelt::tool
