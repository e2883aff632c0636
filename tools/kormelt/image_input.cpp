#include "tools/kormelt/image_input.h"

#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/files.h"

namespace kormelt::tool {

ImageInput::~ImageInput() {
    if (own_copy_) {
        RemovePrivateCopy(copy_path_);
    }
}

int ImageInput::Load(const std::string &path, const InputChoice &choice, ImageSource source, std::string *message) {
    InputFile input;
    const int read = ReadInputFile(path, choice, RawInput::Image, &input, message);
    if (read != EXIT_OK) {
        return read;
    }
    if (input.format == InputFormat::Raw) {
        bytes_ = std::move(input.content);
    } else if (source == ImageSource::ImageOnly) {
        *message = NotAnImageText(input);
        return EXIT_IMAGE;
    } else {
        const std::string refusal = LayoutRefusalText(input);
        if (!refusal.empty()) {
            *message = refusal;
            return EXIT_IMAGE;
        }
        bytes_ = Seal(input.layout.data);
        sealed_note_ = path + ": " + SourceText(input) + ", " + std::to_string(input.layout.data.size()) +
                       " bytes of firmware sealed with the CRC " + CrcText(InspectTrailer(bytes_).stored) + ", " +
                       std::to_string(bytes_.size()) + " bytes";
    }
    std::string error;
    if (!MakePrivateCopy(bytes_, &copy_path_, &error)) {
        *message = error + ".";
        return EXIT_SYSTEM;
    }
    own_copy_ = true;
    return EXIT_OK;
}

int ImageInput::Adopt(const std::string &copy_path, std::string *message) {
    std::string error;
    switch (ReadRegularFile(copy_path, IMAGE_FILE_MAX_BYTES, &bytes_, &error, CancelRequested)) {
    case ReadOutcome::Ok:
        copy_path_ = copy_path;
        return EXIT_OK;
    case ReadOutcome::Cancelled:
        *message = "Cancelled while reading " + copy_path + ".";
        return EXIT_CANCELLED;
    case ReadOutcome::Unreadable:
    case ReadOutcome::NotRegular:
    case ReadOutcome::TooLarge:
        break;
    }
    *message = "the station's copy of the image cannot be read: " + error + ".";
    return EXIT_SYSTEM;
}

}  // namespace kormelt::tool
