#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>

#include "tests/e2e_host/host_platform.h"

namespace {
template <typename F>
bool Find(void *handle, const char *name, F *out, std::string *error) {
    *out = reinterpret_cast<F>(dlsym(handle, name));
    if (*out == nullptr) {
        *error = std::string("missing export ") + name;
        return false;
    }
    return true;
}
}  // namespace

bool LoadKormelt(const std::string &path, KormeltLibrary *lib, std::string *error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
        return false;
    }
    // The library stays loaded for the life of the process, as in a host.
    return Find(handle, "KORMELT_CheckCRC", &lib->CheckCRC, error) &&
           Find(handle, "KORMELT_Close", &lib->Close, error) && Find(handle, "KORMELT_Erase", &lib->Erase, error) &&
           Find(handle, "KORMELT_Open", &lib->Open, error) &&
           Find(handle, "KORMELT_Programm", &lib->Programm, error) &&
           Find(handle, "KORMELT_Restart", &lib->Restart, error);
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
