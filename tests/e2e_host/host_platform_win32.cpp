#include <windows.h>

#include "tests/e2e_host/host_platform.h"

namespace {
template <typename F>
bool Find(HMODULE module, const char *name, F *out, std::string *error) {
    *out = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    if (*out == nullptr) {
        *error = std::string("missing export ") + name;
        return false;
    }
    return true;
}
}  // namespace

bool LoadKormelt(const std::string &path, KormeltLibrary *lib, std::string *error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return false;
    }
    // The library stays loaded for the life of the process, as in a host.
    return Find(module, "KORMELT_CheckCRC", &lib->CheckCRC, error) &&
           Find(module, "KORMELT_Close", &lib->Close, error) && Find(module, "KORMELT_Erase", &lib->Erase, error) &&
           Find(module, "KORMELT_Open", &lib->Open, error) &&
           Find(module, "KORMELT_Programm", &lib->Programm, error) &&
           Find(module, "KORMELT_Restart", &lib->Restart, error);
}

long OpenHandleCount() {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) {
        return -1;
    }
    return static_cast<long>(count);
}

double ProcessCpuSeconds() {
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return -1;
    }
    const auto ticks = [](const FILETIME &t) {  // 100 ns units
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}
