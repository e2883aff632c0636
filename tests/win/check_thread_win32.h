// The image check on a thread of its own, so that a test can wait for it
// with a time limit, or while another thread's call holds the library.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "device/api.h"

struct Check {
    std::string path;
    int32_t status = 99;  // until the check returns
};

// The thread's function; argument is the Check to run and fill in.
inline DWORD WINAPI RunCheck(LPVOID argument) {
    Check *check = static_cast<Check *>(argument);
    check->status = KORMELT_CheckCRC(check->path.c_str());
    return 0;
}
