// The page's files, embedded at build time (gen_page.py writes the table):
// nothing of the page is read from disk at run time.
#pragma once

#include <cstddef>
#include <string>

namespace kormelt::ui {

struct PageFile {
    const char *path;  // as requested: "/app.js"
    const char *mime;
    const unsigned char *data;
    size_t size;
};

extern const PageFile PAGE_FILES[];
extern const size_t PAGE_FILE_COUNT;

// The file served at path ("/" is /index.html), or nullptr.
const PageFile *FindPageFile(const std::string &path);

}  // namespace kormelt::ui
