#include "tools/ui/ui_image.h"

#include "device/api.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/input_file.h"
#include "tools/kormelt/status_text.h"
#include "tools/records/sha256.h"

namespace kormelt::ui {

std::shared_ptr<UiImage> LoadUiImage(const std::string &path, const std::string &name, std::string *message,
                                     int *exit_code) {
    auto image = std::make_shared<UiImage>();
    *exit_code = image->input.Load(path, tool::InputChoice{}, tool::ImageSource::AnyFirmware, message);
    if (*exit_code != tool::EXIT_OK) {
        return nullptr;
    }
    const tool::Bytes &bytes = image->input.bytes();
    const int32_t check = KORMELT_CheckCRC(image->input.copy_path().c_str());
    *message = tool::ImageRefusalText(path, bytes, check);
    if (!message->empty()) {
        *exit_code = tool::EXIT_IMAGE;
        return nullptr;
    }
    image->facts.path = path;
    image->facts.bytes = bytes.size();
    image->facts.crc = tool::InspectTrailer(bytes).stored;
    image->facts.sha256 = records::Sha256Hex(bytes.data(), bytes.size());
    image->copy_path = image->input.copy_path();
    image->summary.name = name;
    image->summary.size = bytes.size();
    image->summary.crc = image->facts.crc;
    image->summary.sha256 = image->facts.sha256;
    image->summary.format = "image";
    if (!image->input.sealed_note().empty()) {
        // Sealed here: it came in a format with addresses, which only its
        // reading tells; the bytes flashed are the copy's, whatever this finds.
        tool::InputFile input;
        std::string ignored;
        if (tool::ReadInputFile(path, tool::InputChoice{}, tool::RawInput::Image, &input, &ignored) == tool::EXIT_OK) {
            image->summary.format = tool::InputFormatWord(input.format);
        }
    }
    return image;
}

}  // namespace kormelt::ui
