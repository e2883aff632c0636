// What the test host needs of its platform: loading the library the way any
// host program does, and counting what the process holds open.
#pragma once

#include <string>
#include <type_traits>

#include "device/api.h"

struct KormeltLibrary {
    int32_t(KORMELT_CALL *CheckCRC)(const char *);
    int32_t(KORMELT_CALL *Close)(void);
    int32_t(KORMELT_CALL *Erase)(KORMELT_ProgressCallback);
    int32_t(KORMELT_CALL *Open)(KORMELT_ProgressCallback);
    int32_t(KORMELT_CALL *Programm)(const char *, KORMELT_ProgressCallback);
    int32_t(KORMELT_CALL *Restart)(void);
};

// Loads the library at path and finds the six exports by name.
bool LoadKormelt(const std::string &path, KormeltLibrary *library, std::string *error);

// The six exports by name, each from lookup(name), the platform's address of
// a symbol of the loaded library or null; false, naming the first one
// missing, when any is.
template <typename Lookup>
bool FindKormeltExports(Lookup lookup, KormeltLibrary *lib, std::string *error) {
    const auto find = [&](const char *name, auto *out) {
        *out = reinterpret_cast<std::remove_pointer_t<decltype(out)>>(lookup(name));
        if (*out == nullptr) {
            *error = std::string("missing export ") + name;
            return false;
        }
        return true;
    };
    return find("KORMELT_CheckCRC", &lib->CheckCRC) && find("KORMELT_Close", &lib->Close) &&
           find("KORMELT_Erase", &lib->Erase) && find("KORMELT_Open", &lib->Open) &&
           find("KORMELT_Programm", &lib->Programm) && find("KORMELT_Restart", &lib->Restart);
}

// Descriptors (POSIX) or handles (Windows) the process holds now.
long OpenHandleCount();

// CPU time the process has used so far, user and system, in seconds.
double ProcessCpuSeconds();
