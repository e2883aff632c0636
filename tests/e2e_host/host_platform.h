// What the test host needs of its platform: loading the library the way any
// host program does, and counting what the process holds open.
#pragma once

#include <string>

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

// Descriptors (POSIX) or handles (Windows) the process holds now.
long OpenHandleCount();

// CPU time the process has used so far, user and system, in seconds.
double ProcessCpuSeconds();
