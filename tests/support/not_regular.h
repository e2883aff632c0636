// Paths that are no regular file, for the calls that take an image by name
// and must refuse all of them at once: a FIFO nobody writes to (an open
// would wait for a writer), a device that reads without end, one that reads
// nothing, a directory and a path that does not exist.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_file.h"

struct PathCase {
    const char *what;
    std::string path;
    int32_t status;  // what the call must give for the path
};

class NotRegularPaths {
public:
    NotRegularPaths() : fifo_(dir_.Entry("no-writer")) {
        if (mkfifo(fifo_.c_str(), 0600) != 0) {
            std::abort();
        }
    }
    NotRegularPaths(const NotRegularPaths &) = delete;
    NotRegularPaths &operator=(const NotRegularPaths &) = delete;

    // Each path with refused, and then the regular file at regular with
    // accepted, so that a call that refuses everything fails a case too.
    std::vector<PathCase> Cases(int32_t refused, const std::string &regular, int32_t accepted) {
        return {
            {"FIFO without a writer", fifo_, refused},
            {"device that reads without end", "/dev/zero", refused},
            {"device that reads nothing", "/dev/null", refused},
            {"directory", dir_.path(), refused},
            {"missing path", dir_.Entry("missing.img"), refused},
            {"regular file", regular, accepted},
        };
    }

private:
    TempDir dir_;
    std::string fifo_;
};
