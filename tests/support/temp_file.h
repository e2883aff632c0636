// A file in the temporary directory that is removed with the object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t> &bytes) {
        const char *dir = std::getenv("TMPDIR");
        std::string templ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kormelt-XXXXXX";
        std::vector<char> name(templ.begin(), templ.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0) {
            std::abort();
        }
        path_ = name.data();
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                std::abort();
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
