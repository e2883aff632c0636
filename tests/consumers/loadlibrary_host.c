/* A Windows host that loads the DLL at run time (LoadLibrary and
 * GetProcAddress) through the header's function-pointer types, as hosts in
 * other languages do. usage: loadlibrary_host DLL GOOD_IMAGE BAD_IMAGE */
#include <windows.h>

#include <stdio.h>

#include <KORMELT/api.h>

int main(int argc, char **argv) {
    HMODULE library;
    KORMELT_CheckCRC_Function check;
    KORMELT_Close_Function close_port;
    int ok;
    if (argc != 4) {
        fprintf(stderr, "usage: %s DLL GOOD_IMAGE BAD_IMAGE\n", argv[0]);
        return 2;
    }
    library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    /* Every export by name, cast through the header's types; the two used
     * below are called. */
    check = (KORMELT_CheckCRC_Function)(void (*)(void))GetProcAddress(library, "KORMELT_CheckCRC");
    close_port = (KORMELT_Close_Function)(void (*)(void))GetProcAddress(library, "KORMELT_Close");
    ok = check != NULL && close_port != NULL &&
         (KORMELT_Erase_Function)(void (*)(void))GetProcAddress(library, "KORMELT_Erase") != NULL &&
         (KORMELT_Open_Function)(void (*)(void))GetProcAddress(library, "KORMELT_Open") != NULL &&
         (KORMELT_Programm_Function)(void (*)(void))GetProcAddress(library, "KORMELT_Programm") != NULL &&
         (KORMELT_Restart_Function)(void (*)(void))GetProcAddress(library, "KORMELT_Restart") != NULL;
    if (!ok) {
        fprintf(stderr, "an export is missing\n");
    } else {
        const int32_t good = check(argv[2]);
        const int32_t bad = check(argv[3]);
        printf("good image: status %ld\nbad image: status %ld\n", (long)good, (long)bad);
        ok = good == KORMELT_STATUS_OK && bad == KORMELT_STATUS_CRC && close_port() == KORMELT_STATUS_OK;
    }
    /* Closed first, as a host must before unloading. */
    if (!FreeLibrary(library)) {
        fprintf(stderr, "FreeLibrary failed: error %lu\n", (unsigned long)GetLastError());
        ok = 0;
    }
    return ok ? 0 : 1;
}
