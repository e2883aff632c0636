// The folder an uploaded image is written to before it is read as a file
// is: made for this user alone, like the tool's private copies, and taken
// away with everything in it when the server ends.
#pragma once

#include <string>

namespace kormelt::ui {

class PrivateDir {
public:
    PrivateDir() = default;
    ~PrivateDir();
    PrivateDir(const PrivateDir &) = delete;
    PrivateDir &operator=(const PrivateDir &) = delete;

    // Under $TMPDIR, else /tmp; false with a reason.
    bool Make(std::string *error);
    const std::string &path() const { return path_; }

    // The file name in the folder with content; false with a reason.
    bool Write(const std::string &name, const std::string &content, std::string *error) const;
    void Remove(const std::string &name) const;

private:
    std::string path_;
};

}  // namespace kormelt::ui
