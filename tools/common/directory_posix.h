// The two reads of the tools' walks through /dev, /proc and sysfs: the
// entries of a directory and the text of a link.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kormelt::tool {

constexpr size_t LINK_TARGET_MAX = 4096;  // bytes, PATH_MAX on Linux

// Adds the entries of dir but "." and ".." to names; false with errno set
// when dir cannot be read.
inline bool DirectoryNames(const std::string &dir, std::vector<std::string> *names) {
    DIR *handle = opendir(dir.c_str());
    if (handle == nullptr) {
        return false;
    }
    while (const dirent *entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names->push_back(name);
        }
    }
    closedir(handle);  // read only: nothing to lose
    return true;
}

// What the link at path holds, as written ("../../ttyUSB0"); false when path
// is no link or is gone.
inline bool LinkText(const std::string &path, std::string *text) {
    char buffer[LINK_TARGET_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return false;
    }
    text->assign(buffer, static_cast<size_t>(length));
    return true;
}

}  // namespace kormelt::tool
