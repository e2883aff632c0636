#include "tools/ui/ui_multipart.h"

#include <cctype>

namespace kormelt::ui {
namespace {

constexpr char CRLF[] = "\r\n";
constexpr char HEADERS_END[] = "\r\n\r\n";
constexpr size_t PART_HEADERS_MAX_BYTES = 8u << 10;

std::string Lower(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The value of name=... in a header's parameters ("form-data; name=x"),
// quoted or not; found says whether it is there at all.
std::string Parameter(const std::string &header, const std::string &name, bool *found) {
    *found = false;
    const std::string lower = Lower(header);
    size_t at = 0;
    while ((at = lower.find(name + "=", at)) != std::string::npos) {
        // A whole parameter: after a ';' and spaces, not the end of another name ("filename" for "name").
        size_t before = at;
        while (before > 0 && (header[before - 1] == ' ' || header[before - 1] == '\t')) {
            --before;
        }
        if (before == 0 || header[before - 1] != ';') {
            at += name.size();
            continue;
        }
        size_t start = at + name.size() + 1;
        *found = true;
        if (start < header.size() && header[start] == '"') {
            const size_t close = header.find('"', start + 1);
            if (close == std::string::npos) {
                *found = false;
                return "";
            }
            return header.substr(start + 1, close - start - 1);
        }
        const size_t end = header.find(';', start);
        std::string value = header.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.pop_back();
        }
        return value;
    }
    return "";
}

bool ValidBoundary(const std::string &boundary) {
    if (boundary.empty() || boundary.size() > BOUNDARY_MAX_CHARS || boundary.back() == ' ') {
        return false;
    }
    for (char c : boundary) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("'()+_,-./:=? ").find(c) == std::string::npos) {
            return false;
        }
    }
    return true;
}

// The name without the folders some browsers send with it.
std::string BaseName(const std::string &name) {
    const size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

std::string MultipartBoundary(const std::string &content_type) {
    const size_t semicolon = content_type.find(';');
    std::string type = Lower(content_type.substr(0, semicolon));
    while (!type.empty() && type.back() == ' ') {
        type.pop_back();
    }
    if (type != "multipart/form-data" || semicolon == std::string::npos) {
        return "";
    }
    bool found = false;
    const std::string boundary = Parameter(content_type, "boundary", &found);
    return found && ValidBoundary(boundary) ? boundary : "";
}

bool FindUploadedFile(const std::string &body, const std::string &boundary, const std::string &field,
                      UploadedFile *file, std::string *error) {
    const std::string delimiter = "--" + boundary;
    if (boundary.empty() || body.compare(0, delimiter.size(), delimiter) != 0) {
        *error = "The upload is no multipart form: it does not begin with its boundary.";
        return false;
    }
    const std::string next = std::string(CRLF) + delimiter;
    size_t at = delimiter.size();
    for (;;) {
        if (body.compare(at, 2, "--") == 0) {
            *error = "The upload holds no file in the field '" + field + "'.";
            return false;
        }
        if (body.compare(at, 2, CRLF) != 0) {
            *error = "The upload is malformed: a boundary is not followed by a line break.";
            return false;
        }
        at += 2;
        const size_t headers_end = body.find(HEADERS_END, at);
        if (headers_end == std::string::npos || headers_end - at > PART_HEADERS_MAX_BYTES) {
            *error = "The upload is malformed: a part's headers do not end.";
            return false;
        }
        const std::string headers = body.substr(at, headers_end - at);
        const size_t content_start = headers_end + 4;
        const size_t content_end = body.find(next, content_start);
        if (content_end == std::string::npos) {
            *error = "The upload is malformed: it ends inside a part, without its closing boundary.";
            return false;
        }
        std::string disposition;
        size_t line_start = 0;
        while (line_start <= headers.size()) {
            size_t line_end = headers.find(CRLF, line_start);
            if (line_end == std::string::npos) {
                line_end = headers.size();
            }
            const std::string line = headers.substr(line_start, line_end - line_start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) {
                *error = "The upload is malformed: a part's header line has no name.";
                return false;
            }
            if (Lower(line.substr(0, colon)) == "content-disposition") {
                disposition = line.substr(colon + 1);
            }
            line_start = line_end + 2;
        }
        bool named = false;
        bool has_filename = false;
        const std::string name = Parameter(disposition, "name", &named);
        const std::string filename = Parameter(disposition, "filename", &has_filename);
        if (Lower(disposition).find("form-data") == std::string::npos || !named) {
            *error = "The upload is malformed: a part is no named form field.";
            return false;
        }
        if (name == field) {
            if (!has_filename) {
                *error = "The field '" + field + "' of the upload holds no file.";
                return false;
            }
            file->filename = BaseName(filename);
            file->content = body.substr(content_start, content_end - content_start);
            return true;
        }
        at = content_end + next.size();
    }
}

}  // namespace kormelt::ui
