// Files and directories in the temporary directory, removed with their objects.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

inline std::string TempRoot() {
    const char *dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t> &bytes) {
        std::string templ = TempRoot() + "/kormelt-XXXXXX";
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

// A fresh directory in the temporary directory. It and the entries named
// through Entry are removed with the object.
class TempDir {
public:
    TempDir() {
        std::string templ = TempRoot() + "/kormelt-dir-XXXXXX";
        std::vector<char> name(templ.begin(), templ.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            std::abort();
        }
        path_ = name.data();
    }
    ~TempDir() {
        for (const std::string &entry : entries_) {
            std::remove(entry.c_str());  // fails for an entry never made, harmlessly
        }
        rmdir(path_.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // The path of name in the directory; the test makes the entry itself.
    std::string Entry(const std::string &name) {
        entries_.push_back(path_ + "/" + name);
        return entries_.back();
    }

private:
    std::string path_;
    std::vector<std::string> entries_;
};

// A fresh directory in the temporary directory for a tree the test builds
// in it (subdirectories, links, FIFOs, sockets), removed whole by Remove
// and, whatever is left, with the object.
class TempTree {
public:
    explicit TempTree(const std::string &name) {
        std::string templ = TempRoot() + "/" + name + "-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            std::abort();
        }
        path_ = templ;
    }
    ~TempTree() { Remove(); }
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;
    const std::string &path() const { return path_; }
    // Removes the tree; why it could not, or "" once it is gone.
    std::string Remove() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        return error ? error.message() : "";
    }

private:
    std::string path_;
};
