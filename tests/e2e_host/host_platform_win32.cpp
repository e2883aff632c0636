#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/e2e_host/host_platform.h"

bool LoadKormelt(const std::string &path, KormeltLibrary *lib, std::string *error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return false;
    }
    // The library stays loaded for the life of the process, as in a host.
    return FindKormeltExports(
        [module](const char *name) { return reinterpret_cast<void *>(GetProcAddress(module, name)); }, lib, error);
}

namespace {

// The system's handle table, as NtQuerySystemInformation gives it
// (SystemExtendedHandleInformation); declared here since the toolchain's
// headers leave it out.
constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
constexpr LONG KORMELT_STATUS_INFO_LENGTH_MISMATCH_VALUE = static_cast<LONG>(0xC0000004);
constexpr size_t HANDLE_TABLE_FIRST_BYTES = 1 << 16;
constexpr int HANDLE_TABLE_TRIES = 8;

struct HandleEntry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);

// Handles of this process in the system's table: Wine's
// GetProcessHandleCount reports 0 whatever the process holds.
long HandlesInSystemTable() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) {
        return -1;
    }
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    std::string buffer(HANDLE_TABLE_FIRST_BYTES, '\0');
    for (int attempt = 0; attempt < HANDLE_TABLE_TRIES; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == KORMELT_STATUS_INFO_LENGTH_MISMATCH_VALUE) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + HANDLE_TABLE_FIRST_BYTES));
            continue;
        }
        if (status < 0) {
            return -1;
        }
        const auto *table = reinterpret_cast<const HandleTable *>(buffer.data());
        const ULONG_PTR self = GetCurrentProcessId();
        long count = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i) {
            count += table->entries[i].process_id == self;
        }
        return count;
    }
    return -1;
}

}  // namespace

long OpenHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) {
        return static_cast<long>(count);
    }
    return HandlesInSystemTable();
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
