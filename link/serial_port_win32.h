// Internals of the Win32 serial port, shared only with its tests: the table
// of platform calls the port makes. Every call goes through Win32Call, so a
// test can make any one of them fail, or watch what the port asks of the
// system, by replacing one entry and restoring WIN32_REAL_CALLS afterwards.
// Nothing here is exported from the library (the .def file fixes the exports).
#pragma once

#include <windows.h>

#include <cstddef>

namespace kormelt {

// The C runtime's calls of the port by types of their own: a pointer type
// written out cannot stand before a member's name.
using MallocCall = void *(*)(size_t size);
using FreeCall = void (*)(void *memory);

// Every platform call of the port, named once: X(name, type, real call).
// The table's members, the real table and the check that it fills each of
// them come from this list.
#define KORMELT_WIN32_CALLS(X)                                         \
    X(CreateFileA, decltype(&::CreateFileA), ::CreateFileA)            \
    X(SetupComm, decltype(&::SetupComm), ::SetupComm)                  \
    X(SetCommTimeouts, decltype(&::SetCommTimeouts), ::SetCommTimeouts) \
    X(GetCommState, decltype(&::GetCommState), ::GetCommState)         \
    X(SetCommState, decltype(&::SetCommState), ::SetCommState)         \
    X(EscapeCommFunction, decltype(&::EscapeCommFunction), ::EscapeCommFunction) \
    X(ReadFile, decltype(&::ReadFile), ::ReadFile)                     \
    X(WriteFile, decltype(&::WriteFile), ::WriteFile)                  \
    X(CloseHandle, decltype(&::CloseHandle), ::CloseHandle)            \
    X(GetTickCount, decltype(&::GetTickCount), ::GetTickCount)         \
    X(Sleep, decltype(&::Sleep), ::Sleep)                              \
    X(malloc, MallocCall, ::malloc) /* the port record */              \
    X(free, FreeCall, ::free)

struct Win32Calls {
#define KORMELT_WIN32_CALL_MEMBER(name, type, real) type name = nullptr;
    KORMELT_WIN32_CALLS(KORMELT_WIN32_CALL_MEMBER)
#undef KORMELT_WIN32_CALL_MEMBER
};

extern const Win32Calls WIN32_REAL_CALLS;
extern Win32Calls Win32Call;  // starts as WIN32_REAL_CALLS

}  // namespace kormelt
