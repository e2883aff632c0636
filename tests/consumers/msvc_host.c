/* A Windows host built the way an MSVC project builds one: compiled for the
 * *-pc-windows-msvc target and linked against KORMELT.lib, the import library
 * made from the .def. It uses no C runtime, so it links nothing but KORMELT
 * and KERNEL32. Checks a good and a bad image whose paths come in the
 * environment (KORMELT_GOOD_IMAGE, KORMELT_BAD_IMAGE); exits 0 when both come
 * out as they should. */
#include <KORMELT/api.h>

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define PATH_CAPACITY 1024

__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char *name, char *value,
                                                                      unsigned long capacity);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static void Say(const char *text) {
    unsigned long length = 0;
    unsigned long written = 0;
    while (text[length] != '\0') {
        ++length;
    }
    /* Nothing to do when stdout is gone; the exit code still tells. */
    (void)WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static int Check(const char *variable, int32_t expected, const char *what) {
    char path[PATH_CAPACITY];
    const unsigned long length = GetEnvironmentVariableA(variable, path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) {
        Say(variable);
        Say(" is not set\n");
        return 0;
    }
    if (KORMELT_CheckCRC(path) != expected) {
        Say(what);
        Say(": unexpected status\n");
        return 0;
    }
    Say(what);
    Say(": as expected\n");
    return 1;
}

void __cdecl HostMain(void) {
    int ok = Check("KORMELT_GOOD_IMAGE", KORMELT_STATUS_OK, "good image");
    ok &= Check("KORMELT_BAD_IMAGE", KORMELT_STATUS_CRC, "bad image");
    ok &= KORMELT_CheckCRC(0) == KORMELT_FILE_CHECK_OPEN_FAILED;
    ExitProcess(ok ? 0 : 1);
}
