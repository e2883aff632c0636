#include "tools/ui/ui_private_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/common/directory_posix.h"
#include "tools/common/replace_file.h"

namespace kormelt::ui {

bool PrivateDir::Make(std::string *error) {
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-ui-XXXXXX";
    // mkdtemp makes the folder for its owner alone.
    if (mkdtemp(dir.data()) == nullptr) {
        *error = "cannot make a private folder for uploaded images in " + dir.substr(0, dir.rfind('/')) + ": " +
                 std::strerror(errno);
        return false;
    }
    path_ = dir;
    return true;
}

PrivateDir::~PrivateDir() {
    if (path_.empty()) {
        return;
    }
    std::vector<std::string> names;
    // An upload interrupted between its write and its removal may be left.
    if (tool::DirectoryNames(path_, &names)) {
        for (const std::string &name : names) {
            Remove(name);
        }
    }
    // Fails only when something not ours was put there; it is left then.
    (void)rmdir(path_.c_str());
}

bool PrivateDir::Write(const std::string &name, const std::string &content, std::string *error) const {
    const std::vector<uint8_t> bytes(content.begin(), content.end());
    return tool::WriteFileReplacing(path_ + "/" + name, bytes, error);
}

void PrivateDir::Remove(const std::string &name) const {
    // Fails only when the file is gone already.
    (void)unlink((path_ + "/" + name).c_str());
}

}  // namespace kormelt::ui
