#include <cinttypes>
#include <cstdio>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/common/replace_file.h"
#include "tools/kormelt/commands.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/platform.h"
#include "tools/kormelt/status_text.h"

namespace kormelt::tool {
namespace {

int Refuse(const std::string &message, int exit_code) {
    std::fprintf(stderr, "kormelt: %s\n", message.c_str());
    return exit_code;
}

}  // namespace

int RunCheck(const std::string &path) {
    const int32_t status = KORMELT_CheckCRC(path.c_str());
    if (status != KORMELT_STATUS_OK) {
        return Refuse(CheckFailureText(path, status), EXIT_IMAGE);
    }
    Bytes image;
    std::string error;
    if (!ReadWholeFile(path, &image, &error)) {
        return Refuse(error, EXIT_IMAGE);  // the file went away since the library read it
    }
    const Trailer trailer = InspectTrailer(image);
    std::printf("%s: CRC ok, %zu bytes (%zu of firmware and the CRC %s)\n", path.c_str(), image.size(),
                trailer.data_bytes, CrcText(trailer.stored).c_str());
    return EXIT_OK;
}

int RunSeal(const SealOptions &options) {
    Bytes input;
    std::string error;
    if (!ReadWholeFile(options.input, &input, &error)) {
        return Refuse(error, EXIT_IMAGE);
    }
    const InputFormat format = options.format == "ihex"  ? InputFormat::IntelHex
                               : options.format == "raw" ? InputFormat::Raw
                                                         : GuessInputFormat(options.input);
    Bytes data;
    if (format == InputFormat::IntelHex) {
        if (!ParseIntelHex(std::string(input.begin(), input.end()), &data, &error)) {
            return Refuse(options.input + ": " + error + ". No image was written.", EXIT_IMAGE);
        }
    } else {
        data = std::move(input);
        if (data.empty()) {
            // A sealed empty input would be the bare CRC, which the device
            // would take as two bytes of firmware.
            return Refuse(options.input + " is empty: there is no firmware to seal. No image was written.", EXIT_IMAGE);
        }
        const Trailer trailer = InspectTrailer(data);
        if (data.size() > CRC_TRAILER_BYTES && trailer.stored == trailer.computed) {
            std::fprintf(stderr,
                         "kormelt: note: %s already ends with its own CRC; the image gets a second one. "
                         "Use 'kormelt check' on files that are images already.\n",
                         options.input.c_str());
        }
    }
    if (data.size() > IMAGE_MAX_BYTES) {
        return Refuse(options.input + " holds " + std::to_string(data.size()) + " bytes, more than the " +
                          std::to_string(IMAGE_MAX_BYTES >> 20) + " MiB an image may hold. No image was written.",
                      EXIT_IMAGE);
    }
    const Bytes image = Seal(data);
    if (!WriteFileReplacing(options.output, image, &error)) {
        return Refuse(error, EXIT_SYSTEM);
    }
    std::printf("%s: %zu bytes of firmware from %s (%s) and the CRC %s, %zu bytes in all\n", options.output.c_str(),
                data.size(), options.input.c_str(), format == InputFormat::IntelHex ? "Intel HEX" : "raw binary",
                CrcText(InspectTrailer(image).stored).c_str(), image.size());
    return EXIT_OK;
}

int RunPorts() {
    std::printf("%-5s  %-30s  %-12s  %s\n", "port", "device", "set by", "state");
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const std::string device = PortDevice(n);
        const PortProbe probe = ProbePort(device);
        std::string state;
        switch (probe.state) {
        case PortState::Free:
            state = "exists, free";
            break;
        case PortState::Missing:
            state = "missing";
            break;
        case PortState::InUse:
            state = "exists, in use by another program";
            break;
        case PortState::NoAccess:
            state = "exists, no permission to open it";
            break;
        case PortState::Unusable:
            state = "cannot be opened";
            break;
        }
        if (probe.state != PortState::Free && probe.state != PortState::Missing && !probe.detail.empty()) {
            state += " (" + probe.detail + ")";
        }
        std::printf("COM%-2" PRIu32 "  %-30s  %-12s  %s\n", n, device.c_str(), PortDeviceSource(n).c_str(), state.c_str());
    }
    return EXIT_OK;
}

}  // namespace kormelt::tool
