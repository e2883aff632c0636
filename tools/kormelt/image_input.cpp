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

int ImageInput::Load(const std::string &path, std::string *message) {
    std::string error;
    switch (ReadRegularFile(path, IMAGE_FILE_MAX_BYTES, &bytes_, &error, CancelRequested)) {
    case ReadOutcome::Ok:
        break;
    case ReadOutcome::Unreadable:
        *message = error + ". Check the file name and that the file is readable.";
        return EXIT_IMAGE;
    case ReadOutcome::NotRegular:
        *message = error + ": an image is a file holding the firmware and its CRC.";
        return EXIT_IMAGE;
    case ReadOutcome::TooLarge:
        *message = path + " holds more than " + std::to_string(IMAGE_FILE_MAX_BYTES) +
                   " bytes, the largest image (" + std::to_string(IMAGE_MAX_BYTES >> 20) +
                   " MiB of firmware and its 2-byte CRC); it is not an image made for this device.";
        return EXIT_IMAGE;
    case ReadOutcome::Cancelled:
        *message = "Cancelled while reading " + path + ".";
        return EXIT_CANCELLED;
    }
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
