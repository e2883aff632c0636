// The one file of an upload: a multipart/form-data body taken apart, by the
// rules a browser's form follows, as far as an upload of one file needs.
// Pure: the body is read (within its bound) before it comes here.
#pragma once

#include <cstddef>
#include <string>

namespace kormelt::ui {

constexpr size_t UPLOAD_IMAGE_MAX_BYTES = 16u << 20;  // the largest image, its CRC included
constexpr size_t UPLOAD_OVERHEAD_BYTES = 64u << 10;   // the part's headers and boundaries
constexpr size_t UPLOAD_MAX_BYTES = UPLOAD_IMAGE_MAX_BYTES + UPLOAD_OVERHEAD_BYTES;
constexpr size_t BOUNDARY_MAX_CHARS = 70;  // as the form-data rules allow

struct UploadedFile {
    std::string filename;  // as the browser named it, without any folder
    std::string content;
};

// The boundary of a Content-Type "multipart/form-data; boundary=...", or
// empty when it is another type or has none.
std::string MultipartBoundary(const std::string &content_type);

// The file of the part named field; false with a reason for people when the
// body is malformed or holds no such part. The body's bound is the caller's.
bool FindUploadedFile(const std::string &body, const std::string &boundary, const std::string &field,
                      UploadedFile *file, std::string *error);

}  // namespace kormelt::ui
