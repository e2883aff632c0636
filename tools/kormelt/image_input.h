// An image file as check and flash take it: read once, whole and within a
// bound, then copied where nobody else writes, so that the bytes the library
// checks and uploads are the bytes that were read, whatever happens to the
// file meanwhile.
#pragma once

#include <string>

#include "tools/kormelt/image.h"

namespace kormelt::tool {

class ImageInput {
public:
    ImageInput() = default;
    ~ImageInput();  // removes the copy
    ImageInput(const ImageInput &) = delete;
    ImageInput &operator=(const ImageInput &) = delete;

    // EXIT_OK, or the exit code (EXIT_IMAGE, EXIT_CANCELLED, EXIT_SYSTEM)
    // with *message saying why, in a sentence that names path.
    int Load(const std::string &path, std::string *message);
    // The same for a copy that a station made and checked for its workers:
    // it is read, and handed to the library as it is, and left in place.
    int Adopt(const std::string &copy_path, std::string *message);

    const Bytes &bytes() const { return bytes_; }
    // The copy to hand to the library.
    const std::string &copy_path() const { return copy_path_; }

private:
    Bytes bytes_;
    std::string copy_path_;
    bool own_copy_ = false;
};

}  // namespace kormelt::tool
