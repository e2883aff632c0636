#include <cstring>

#include "tools/ui/page_files.h"

namespace kormelt::ui {

const PageFile *FindPageFile(const std::string &path) {
    const std::string wanted = path == "/" ? "/index.html" : path;
    for (size_t k = 0; k < PAGE_FILE_COUNT; ++k) {
        if (wanted == PAGE_FILES[k].path) {
            return &PAGE_FILES[k];
        }
    }
    return nullptr;
}

}  // namespace kormelt::ui
