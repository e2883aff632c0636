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
#include "tools/kormelt/input_file.h"
#include "tools/kormelt/message_text.h"
#include "tools/kormelt/messages.h"
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
    const int loaded = image.Load(path, InputChoice{}, ImageSource::ImageOnly, &error);
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
    const std::string nothing = " No image was written.";
    // Replacing the input by its own image would leave no firmware to seal
    // again; by name, a link or another name of the same file alike.
    if (SameFile(options.input, options.output)) {
        return Refuse("the output " + options.output + " is the same file as the input " + options.input +
                          ": sealing would replace the firmware with its own image. Name another output." + nothing,
                      EXIT_SYSTEM);
    }
    InputFile input;
    const int read = ReadInputFile(options.input, {options.format, options.base}, RawInput::Firmware, &input, &error);
    if (read != EXIT_OK) {
        return Refuse(error + nothing, read);
    }
    if (input.format == InputFormat::Raw) {
        if (input.content.empty()) {
            // A sealed empty input would be the bare CRC, which the device
            // would take as two bytes of firmware.
            return Refuse(FillMessage(messages::INPUT_EMPTY, {{"path", options.input}}) + nothing, EXIT_IMAGE);
        }
        const Trailer trailer = InspectTrailer(input.content);
        if (input.content.size() > CRC_TRAILER_BYTES && trailer.stored == trailer.computed) {
            std::fprintf(stderr,
                         "kormelt: note: %s already ends with its own CRC; the image gets a second one. "
                         "Use 'kormelt check' on files that are images already.\n",
                         options.input.c_str());
        }
    }
    const std::string refusal = LayoutRefusalText(input);
    if (!refusal.empty()) {
        return Refuse(refusal + nothing, EXIT_IMAGE);
    }
    const Bytes &data = input.layout.data;
    const Bytes image = Seal(data);
    if (!WriteFileReplacing(options.output, image, &error, CancelRequested)) {
        if (CancelRequested()) {
            return Refuse("Cancelled while writing " + options.output + "." + nothing, EXIT_CANCELLED);
        }
        return Refuse(error + "." + nothing, EXIT_SYSTEM);
    }
    PrintOut(options.output + ": " + std::to_string(data.size()) + " bytes of firmware from " + options.input + " (" +
             SourceText(input) + ") and the CRC " + CrcText(InspectTrailer(image).stored) + ", " +
             std::to_string(image.size()) + " bytes in all\n");
    return EXIT_OK;
}

int RunPorts(bool json) {
    PrintOut(json ? PortsJson(MapPorts(), ProbePort) : PortsTable(MapPorts(), ProbePort));
    return EXIT_OK;
}

}  // namespace kormelt::tool
