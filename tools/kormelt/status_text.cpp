#include "tools/kormelt/status_text.h"

#include <cstdio>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/platform.h"

namespace kormelt::tool {
namespace {

constexpr uint32_t MS_PER_S = 1000;

std::string Status(int32_t status) { return " (status " + std::to_string(status) + ")"; }

const char *StateText(PortState state) {
    switch (state) {
    case PortState::Free:
        return "no answer";
    case PortState::Missing:
        return "missing";
    case PortState::InUse:
        return "in use by another program";
    case PortState::NoAccess:
        return "no permission";
    case PortState::Unusable:
        return "cannot be opened";
    }
    return "?";
}

std::string Capitalised(const std::string &word) {
    std::string text = word;
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    return text;
}

// What to do next and what the device holds meanwhile, after a phase
// stopped halfway.
std::string Retry(Phase phase) {
    switch (phase) {
    case Phase::Check:
    case Phase::Search:
        return "Run flash again; nothing was changed on the device.";
    case Phase::Erase:
        return "Run flash again; until then the device may be partly erased.";
    case Phase::Upload:
        return "Run flash again; until then the device holds a partial image.";
    case Phase::Restart:
        return "The image is fully written: power-cycle the device to start it, or run flash again.";
    }
    return "Run flash again.";
}

}  // namespace

std::string CheckFailureText(const std::string &path, int32_t status) {
    Bytes image;
    std::string error;
    if (!ReadWholeFile(path, &image, &error)) {
        return Capitalised(error) + ". Check the file name and that the file is readable.";
    }
    if (status == KORMELT_FILE_CHECK_OPEN_FAILED) {
        return "The library cannot open " + path + " although it is readable now; run the command again.";
    }
    if (image.empty()) {
        return path +
               " is empty: an image holds the firmware followed by its 2-byte CRC; make one with "
               "'kormelt seal'.";
    }
    const Trailer trailer = InspectTrailer(image);
    if (!trailer.present) {
        return path +
               " holds a single byte, too short for its 2-byte CRC trailer; make an image with "
               "'kormelt seal'.";
    }
    if (trailer.stored == trailer.computed) {
        return path + " changed while it was being checked; run the command again.";
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

std::string PortsTriedText() {
    std::string text;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const std::string device = PortDevice(n);
        text += (n == SEARCH_FIRST_PORT ? "" : ", ") + std::string("COM") + std::to_string(n) + " " + device + " (" +
                StateText(ProbePort(device).state) + ")";
    }
    return text;
}

std::string PhaseFailureText(Phase phase, int32_t status, int percent, const std::string &image) {
    // How far it got means something only where the percentage counts work done.
    const bool counted = phase == Phase::Erase || phase == Phase::Upload;
    const std::string at = counted ? " at " + std::to_string(percent) + "%" : "";
    const std::string failed = Capitalised(PhaseName(phase)) + " failed" + at;
    const std::string silence = "within " + std::to_string(REPLY_TIMEOUT_MS / MS_PER_S) + " s";
    switch (status) {
    case KORMELT_STATUS_CANCELLED:
        return std::string("Cancelled during ") + PhaseName(phase) + at + Status(status) + "; the port is closed. " +
               Retry(phase);
    case KORMELT_STATUS_NOT_FOUND:
        return "No device answered on COM1 to COM7" + Status(status) + ". Tried: " + PortsTriedText() + ". " +
               SearchHint() +
               "; check that the device is powered and connected and that no other program "
               "holds its port.";
    case KORMELT_STATUS_IMAGE_OPEN:
        return failed + ": the library could not read the image " + image + Status(status) +
               ". Check that it still exists, is readable and is not empty, and run flash again; until then "
               "the device is erased.";
    case KORMELT_STATUS_WRITE:
        return failed + ": writing to the port failed" + Status(status) +
               "; the adapter may have been unplugged or the port taken away. Check the connection. " + Retry(phase);
    case KORMELT_STATUS_TIMEOUT:
        if (phase == Phase::Restart) {
            return failed + ": the device did not confirm the restart command " + silence + Status(status) + ". " +
                   Retry(phase);
        }
        return failed + ": the device stopped answering (no reply " + silence + ", status " + std::to_string(status) +
               "). Check its power and cable. " + Retry(phase);
    case KORMELT_STATUS_CRC:
        return failed + ": a reply from the device arrived damaged (CRC error, status " + std::to_string(status) +
               "). The line may be noisy or not at " + std::to_string(LINE_BAUD_RATE) +
               " baud: check the cable. " + Retry(phase);
    case KORMELT_STATUS_PORT_NOT_OPEN:
        return failed + ": the library had no open port" + Status(status) +
               ", although the search had succeeded. This is a fault in the tool; please report it.";
    default:
        return failed + ": the library returned a status this tool does not know" + Status(status) + ". " +
               Retry(phase);
    }
}

}  // namespace kormelt::tool
