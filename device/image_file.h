// The stream calls through which the upload reads its image file. Every call
// goes through ImageFileCall, so a test can make a read fail halfway through
// an image by replacing one entry and restoring IMAGE_FILE_REAL_CALLS
// afterwards. Nothing here is exported from the library.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kormelt {

struct ImageFileCalls {
    std::FILE *(*open)(const char *path) = nullptr;  // null unless path is a regular file
    size_t (*read)(void *buffer, size_t size, size_t count, std::FILE *file) = nullptr;
    int (*error)(std::FILE *file) = nullptr;
    int (*close)(std::FILE *file) = nullptr;
};

extern const ImageFileCalls IMAGE_FILE_REAL_CALLS;
extern ImageFileCalls ImageFileCall;  // starts as IMAGE_FILE_REAL_CALLS

}  // namespace kormelt
