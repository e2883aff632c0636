// What check and flash take: an image file, read once, whole and within a
// bound, or for flash also firmware in a format with addresses, sealed here
// in memory. Either way the bytes are then copied where nobody else
// writes, so that the bytes the library checks and uploads are the bytes
// that were read, whatever happens to the file meanwhile.
#pragma once

#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/input_file.h"

namespace kormelt::tool {

enum class ImageSource {
    ImageOnly,    // check: a file in another format is refused, with how to seal it
    AnyFirmware,  // flash: one with addresses is sealed from the base
};

class ImageInput {
public:
    ImageInput() = default;
    ~ImageInput();  // removes the copy
    ImageInput(const ImageInput &) = delete;
    ImageInput &operator=(const ImageInput &) = delete;

    // EXIT_OK, or the exit code (EXIT_IMAGE, EXIT_CANCELLED, EXIT_SYSTEM)
    // with *message saying why, in a sentence that names path.
    int Load(const std::string &path, const InputChoice &choice, ImageSource source, std::string *message);
    // The same for a copy that a station made and checked for its workers:
    // it is read, and handed to the library as it is, and left in place.
    int Adopt(const std::string &copy_path, std::string *message);

    const Bytes &bytes() const { return bytes_; }
    // The copy to hand to the library.
    const std::string &copy_path() const { return copy_path_; }
    // For firmware sealed here, what it was made of, in one line: "fw.elf:
    // ELF, base 0x08000000, 1000 bytes of firmware sealed with the CRC
    // 0x1D0F, 1002 bytes"; empty for an image file.
    const std::string &sealed_note() const { return sealed_note_; }

private:
    Bytes bytes_;
    std::string copy_path_;
    std::string sealed_note_;
    bool own_copy_ = false;
};

}  // namespace kormelt::tool
