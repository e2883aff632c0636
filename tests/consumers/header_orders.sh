#!/bin/bash
# The public header beside Windows' own: for every include order of
# <windows.h>, <ntstatus.h> (with WIN32_NO_STATUS, as the SDK asks) and
# <KORMELT/api.h>, in C89 and C++98, a host file must compile and see the
# library's values under the library's names and Windows' values under
# Windows' names. Compile-time checks only; nothing runs.
#
# usage: header_orders.sh ARCH INCLUDE_DIR     ARCH: i686 or x86_64
#        INCLUDE_DIR holds KORMELT/api.h
set -u

arch=${1:?usage: header_orders.sh ARCH INCLUDE_DIR}
include_dir=${2:?usage: header_orders.sh ARCH INCLUDE_DIR}
# shellcheck source=tests/consumers/checks.sh
. "$(dirname "$0")/checks.sh"
orders=0

# Each unit is a block of lines. With <ntstatus.h> in the file, <windows.h>
# comes with WIN32_NO_STATUS, as the SDK asks, so that the two can stand
# together in either order; alone it is included plainly.
unit() {  # unit LETTER ORDER
    case "$1" in
    W) if [[ $2 == *N* ]]; then
        printf '#define WIN32_NO_STATUS\n#include <windows.h>\n#undef WIN32_NO_STATUS\n'
    else
        printf '#include <windows.h>\n'
    fi ;;
    N) printf '#include <ntstatus.h>\n' ;;
    K) printf '#include <KORMELT/api.h>\n' ;;
    esac
}

checks() {
    cat <<'CHECKS'
#define EXPECT(name, condition) typedef char name[(condition) ? 1 : -1]
EXPECT(ok, KORMELT_STATUS_OK == 0);
EXPECT(image_open, KORMELT_STATUS_IMAGE_OPEN == 1);
EXPECT(port_open, KORMELT_STATUS_PORT_OPEN == 2);
EXPECT(port_config, KORMELT_STATUS_PORT_CONFIG == 4);
EXPECT(write_failed, KORMELT_STATUS_WRITE == 5);
EXPECT(port_number, KORMELT_STATUS_PORT_NUMBER == 8);
EXPECT(cancelled, KORMELT_STATUS_CANCELLED == 12);
EXPECT(not_found, KORMELT_STATUS_NOT_FOUND == 13);
EXPECT(timeout, KORMELT_STATUS_TIMEOUT == 14);
EXPECT(crc, KORMELT_STATUS_CRC == 15);
EXPECT(port_queues, KORMELT_STATUS_PORT_QUEUES == 19);
EXPECT(no_memory, KORMELT_STATUS_NO_MEMORY == 30);
EXPECT(port_state, KORMELT_STATUS_PORT_STATE == 39);
EXPECT(port_not_open, KORMELT_STATUS_PORT_NOT_OPEN == 42);
EXPECT(port_timeouts, KORMELT_STATUS_PORT_TIMEOUTS == 43);
EXPECT(check_open_failed, KORMELT_FILE_CHECK_OPEN_FAILED == -1);
/* Windows' names keep Windows' values: the header left them alone. */
#if defined(STATUS_TIMEOUT)
EXPECT(windows_timeout, (unsigned long)STATUS_TIMEOUT == 0x102UL);
#endif
#if defined(STATUS_NO_MEMORY)
EXPECT(windows_no_memory, (unsigned long)STATUS_NO_MEMORY == 0xC0000017UL);
#endif
#if defined(STATUS_CANCELLED)
EXPECT(windows_cancelled, (unsigned long)STATUS_CANCELLED == 0xC0000120UL);
#endif
#if defined(STATUS_NOT_FOUND)
EXPECT(windows_not_found, (unsigned long)STATUS_NOT_FOUND == 0xC0000225UL);
#endif
/* With <windows.h> in the file, its names must still be there. */
#if defined(HOST_HAS_WINDOWS) && !defined(STATUS_TIMEOUT)
#error "STATUS_TIMEOUT of <windows.h> is gone"
#endif
#if defined(HOST_HAS_NTSTATUS) && !defined(STATUS_NOT_FOUND)
#error "STATUS_NOT_FOUND of <ntstatus.h> is gone"
#endif
/* The header claims no unprefixed name, macro or type, of the host's. */
#if !defined(HOST_HAS_WINDOWS) && !defined(HOST_HAS_NTSTATUS) && \
    (defined(STATUS_OK) || defined(STATUS_TIMEOUT) || defined(STATUS_CRC) || defined(FILE_CHECK_OPEN_FAILED))
#error "the header defines unprefixed status names"
#endif
typedef int ProgressCallback;
static KORMELT_ProgressCallback callback_slot;
static KORMELT_CheckCRC_Function check_slot = KORMELT_CheckCRC;
CHECKS
}

compile() {  # compile FILE DESCRIPTION
    local ok=1
    if ! $arch-w64-mingw32-gcc -x c -std=c89 -Wall -Wextra -Werror -Wno-unused-variable -Wno-unused-local-typedefs \
        -fsyntax-only -I"$include_dir" "$1" 2>"$work/c.log"; then
        echo "FAIL: C89, $2"
        cat "$work/c.log"
        ok=0
    fi
    if ! $arch-w64-mingw32-g++ -x c++ -std=c++98 -Wall -Wextra -Werror -Wno-unused-variable \
        -Wno-unused-local-typedefs -fsyntax-only -I"$include_dir" "$1" 2>"$work/cxx.log"; then
        echo "FAIL: C++98, $2"
        cat "$work/cxx.log"
        ok=0
    fi
    [ $ok -eq 1 ] || failures=$((failures + 1))
}

# <ntstatus.h> needs <windows.h> for its NTSTATUS type, so it comes only
# with it.
for order in K WK KW WNK WKN NWK NKW KWN KNW; do
    file="$work/host_$order.c"
    {
        [[ $order == *W* ]] && echo "#define HOST_HAS_WINDOWS"
        [[ $order == *N* ]] && echo "#define HOST_HAS_NTSTATUS"
        for ((i = 0; i < ${#order}; ++i)); do
            unit "${order:i:1}" "$order"
        done
        checks
    } >"$file"
    compile "$file" "order $order (W windows.h, N ntstatus.h, K KORMELT/api.h)"
    orders=$((orders + 1))
done

finish "$arch: $orders include orders compile in C89 and C++98 with the right values"
