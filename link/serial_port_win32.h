// Internals of the Win32 serial port, shared only with its tests: the table
// of platform calls the port makes. Every call goes through Win32Call, so a
// test can make any one of them fail, or watch what the port asks of the
// system, by replacing one entry and restoring WIN32_REAL_CALLS afterwards.
// Nothing here is exported from the library (the .def file fixes the exports).
#pragma once

#include <windows.h>

#include <cstddef>

namespace kormelt {

struct Win32Calls {
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::SetupComm) SetupComm;
    decltype(&::SetCommTimeouts) SetCommTimeouts;
    decltype(&::GetCommState) GetCommState;
    decltype(&::SetCommState) SetCommState;
    decltype(&::EscapeCommFunction) EscapeCommFunction;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::Sleep) Sleep;
    void *(*malloc)(size_t size);  // the port record
    void (*free)(void *memory);
};

extern const Win32Calls WIN32_REAL_CALLS;
extern Win32Calls Win32Call;  // starts as WIN32_REAL_CALLS

}  // namespace kormelt
