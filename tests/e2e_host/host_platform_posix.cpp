#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>

#include "tests/e2e_host/host_platform.h"

bool LoadKormelt(const std::string &path, KormeltLibrary *lib, std::string *error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
        return false;
    }
    // The library stays loaded for the life of the process, as in a host.
    return FindKormeltExports([handle](const char *name) { return dlsym(handle, name); }, lib, error);
}

long OpenHandleCount() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    long count = 0;
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);  // read-only listing: nothing to report
    return count;
}

double ProcessCpuSeconds() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return -1;
    }
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
