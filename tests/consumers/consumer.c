/* A host program as a user of the packages writes it: built against an
 * installed KORMELT (CMake's find_package, pkg-config, or MinGW's import
 * library) and run on a good and a bad image. Exits 0 when the library
 * answers as documented. Plain C89, so that it also proves the header is. */
#include <stdio.h>

#include <KORMELT/api.h>

static int Expect(const char *what, int32_t status, int32_t expected) {
    printf("%s: status %ld\n", what, (long)status);
    return status == expected;
}

int main(int argc, char **argv) {
    int ok;
    if (argc != 3) {
        fprintf(stderr, "usage: %s GOOD_IMAGE BAD_IMAGE\n", argv[0]);
        return 2;
    }
    ok = Expect("good image", KORMELT_CheckCRC(argv[1]), KORMELT_STATUS_OK);
    ok &= Expect("bad image", KORMELT_CheckCRC(argv[2]), KORMELT_STATUS_CRC);
    ok &= Expect("no path", KORMELT_CheckCRC(NULL), KORMELT_FILE_CHECK_OPEN_FAILED);
    /* No port is open in this process. */
    ok &= Expect("restart", KORMELT_Restart(), KORMELT_STATUS_PORT_NOT_OPEN);
    ok &= Expect("close", KORMELT_Close(), KORMELT_STATUS_OK);
    return ok ? 0 : 1;
}
