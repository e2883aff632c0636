#include <cstdio>
#include <string>

#include "device/api.h"
#include "protocol/protocol.h"
#include "tools/common/replace_file.h"
#include "tools/kormelt/commands.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/files.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_input.h"
#include "tools/kormelt/intel_hex.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"
#include "tools/kormelt/port_report.h"
#include "tools/kormelt/status_text.h"

namespace kormelt::tool {
namespace {

int Refuse(const std::string &message, int exit_code) {
    std::fprintf(stderr, "kormelt: %s\n", message.c_str());
    return exit_code;
}

}  // namespace

int RunCheck(const std::string &path) {
    std::string error;
    if (!InstallCancelHandler(&error)) {
        return Refuse(error, EXIT_SYSTEM);
    }
    ImageInput image;
    const int loaded = image.Load(path, &error);
    if (loaded != EXIT_OK) {
        return Refuse(error, loaded);
    }
    const int32_t status = KORMELT_CheckCRC(image.copy_path().c_str());
    if (CancelRequested()) {
        return Refuse("Cancelled during the check of " + path + ".", EXIT_CANCELLED);
    }
    const std::string refusal = ImageRefusalText(path, image.bytes(), status);
    if (!refusal.empty()) {
        return Refuse(refusal, EXIT_IMAGE);
    }
    const Trailer trailer = InspectTrailer(image.bytes());
    PrintOut(path + ": CRC ok, " + std::to_string(image.bytes().size()) + " bytes (" +
             std::to_string(trailer.data_bytes) + " of firmware and the CRC " + CrcText(trailer.stored) + ")\n");
    return EXIT_OK;
}

int RunSeal(const SealOptions &options) {
    std::string error;
    if (!InstallCancelHandler(&error)) {
        return Refuse(error, EXIT_SYSTEM);
    }
    const InputFormat format = options.format == "ihex"  ? InputFormat::IntelHex
                               : options.format == "raw" ? InputFormat::Raw
                                                         : GuessInputFormat(options.input);
    const bool hex = format == InputFormat::IntelHex;
    const std::string nothing = " No image was written.";
    // Replacing the input by its own image would leave no firmware to seal
    // again; by name, a link or another name of the same file alike.
    if (SameFile(options.input, options.output)) {
        return Refuse("the output " + options.output + " is the same file as the input " + options.input +
                          ": sealing would replace the firmware with its own image. Name another output." + nothing,
                      EXIT_SYSTEM);
    }
    Bytes input;
    switch (ReadRegularFile(options.input, hex ? HEX_TEXT_MAX_BYTES : IMAGE_MAX_BYTES, &input, &error,
                            CancelRequested)) {
    case ReadOutcome::Ok:
        break;
    case ReadOutcome::Unreadable:
        return Refuse(error + "." + nothing, EXIT_IMAGE);
    case ReadOutcome::NotRegular:
        return Refuse(error + ": firmware is read from a file." + nothing, EXIT_IMAGE);
    case ReadOutcome::TooLarge:
        return Refuse(options.input + (hex ? " holds more than " + std::to_string(HEX_TEXT_MAX_BYTES >> 20) +
                                                 " MiB of text, more than the HEX of the largest image takes."
                                           : " holds more than the " + std::to_string(IMAGE_MAX_BYTES >> 20) +
                                                 " MiB an image may hold.") +
                          nothing,
                      EXIT_IMAGE);
    case ReadOutcome::Cancelled:
        return Refuse("Cancelled while reading " + options.input + "." + nothing, EXIT_CANCELLED);
    }
    Bytes data;
    if (hex) {
        if (!ParseIntelHex(std::string(input.begin(), input.end()), &data, &error)) {
            return Refuse(options.input + ": " + error + "." + nothing, EXIT_IMAGE);
        }
    } else {
        data = std::move(input);
        if (data.empty()) {
            // A sealed empty input would be the bare CRC, which the device
            // would take as two bytes of firmware.
            return Refuse(options.input + " is empty: there is no firmware to seal." + nothing, EXIT_IMAGE);
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
                          std::to_string(IMAGE_MAX_BYTES >> 20) + " MiB an image may hold." + nothing,
                      EXIT_IMAGE);
    }
    const Bytes image = Seal(data);
    if (!WriteFileReplacing(options.output, image, &error, CancelRequested)) {
        if (CancelRequested()) {
            return Refuse("Cancelled while writing " + options.output + "." + nothing, EXIT_CANCELLED);
        }
        return Refuse(error + "." + nothing, EXIT_SYSTEM);
    }
    PrintOut(options.output + ": " + std::to_string(data.size()) + " bytes of firmware from " + options.input + " (" +
             (hex ? "Intel HEX" : "raw binary") + ") and the CRC " + CrcText(InspectTrailer(image).stored) + ", " +
             std::to_string(image.size()) + " bytes in all\n");
    return EXIT_OK;
}

int RunPorts(bool json) {
    PrintOut(json ? PortsJson(MapPorts(), ProbePort) : PortsTable(MapPorts(), ProbePort));
    return EXIT_OK;
}

}  // namespace kormelt::tool
