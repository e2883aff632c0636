#!/bin/bash
# Builds the three kinds of Windows host against a Windows SDK zip and runs
# each under Wine ($KORMELT_WINE, in the test run's prefix) on a good and a
# bad image:
#   msvc         clang for *-pc-windows-msvc, linked by lld-link against
#                KORMELT.lib and KERNEL32 only (no C runtime)
#   mingw        MinGW gcc, linked against libKORMELT.dll.a
#   loadlibrary  MinGW gcc, the DLL loaded at run time through the header's
#                function-pointer types
#
# usage: windows_consumers.sh ARCH ZIP KIND...     ARCH: i686 or x86_64
set -u

here=$(cd "$(dirname "$0")" && pwd)
arch=${1:?usage: windows_consumers.sh ARCH ZIP KIND...}
zip=${2:?usage: windows_consumers.sh ARCH ZIP KIND...}
shift 2
: "${KORMELT_WINE:?KORMELT_WINE must name the Wine loader}"

# shellcheck source=tests/consumers/checks.sh
. "$here/checks.sh"

(cd "$work" && cmake -E tar xf "$zip") || exit 1
sdk=$(echo "$work"/KORMELT-*)
[ -d "$sdk" ] || { echo "no SDK folder in $zip"; exit 1; }
python3 "$here/make_images.py" "$work" || exit 1
wine_path() { echo "Z:${1//\//\\}"; }
good=$(wine_path "$work/good.img")
bad=$(wine_path "$work/bad.img")
mingw=$arch-w64-mingw32-gcc

# Only these DLLs may a host need: the library and the system's.
check_imports() {  # check_imports EXE ALLOWED...
    local exe=$1
    shift
    local imports
    imports=$($arch-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
    local expected
    expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$imports" = "$expected" ] || fail "$(basename "$exe") imports '$imports', expected '$expected'"
}

run() {  # run NAME COMMAND...: the host must exit 0
    local output
    if output=$(cd "$work/bin" && "$KORMELT_WINE" "$@" 2>&1); then
        echo "$arch $NAME: ok"
    else
        fail "$arch $NAME: $output"
    fi
}

mkdir -p "$work/bin" && cp "$sdk/bin/KORMELT.dll" "$work/bin/" || exit 1
for kind in "$@"; do
    NAME=$kind
    case "$kind" in
    msvc)
        # KERNEL32's import library, made like KORMELT.lib (no Windows SDK
        # here); the @n stdcall decoration exists on i686 only.
        def="$work/kernel32.def"
        if [ "$arch" = i686 ]; then
            machine=i386
            cp "$here/kernel32.def" "$def"
        else
            machine=i386:x86-64
            sed 's/@[0-9]*$//' "$here/kernel32.def" >"$def"
        fi
        llvm-dlltool -m "$machine" -k -d "$def" -l "$work/kernel32.lib" || { fail "kernel32.lib"; continue; }
        if clang --target="$arch-pc-windows-msvc" -ffreestanding -fno-builtin -Os -std=c89 -Wall -Wextra \
            -pedantic -Werror -I"$sdk/include" -c "$here/msvc_host.c" -o "$work/msvc_host.obj" &&
            lld-link /nologo /subsystem:console /entry:HostMain /nodefaultlib "/out:$work/bin/msvc_host.exe" \
                "$work/msvc_host.obj" "$sdk/lib/KORMELT.lib" "$work/kernel32.lib"; then
            check_imports "$work/bin/msvc_host.exe" KORMELT.dll KERNEL32.dll
            KORMELT_GOOD_IMAGE=$good KORMELT_BAD_IMAGE=$bad run msvc_host.exe
        else
            fail "the MSVC-style host does not build"
        fi
        ;;
    mingw)
        if $mingw -std=c89 -Wall -Wextra -pedantic -Werror -I"$sdk/include" -o "$work/bin/mingw_host.exe" \
            "$here/consumer.c" "$sdk/lib/libKORMELT.dll.a"; then
            check_imports "$work/bin/mingw_host.exe" KORMELT.dll KERNEL32.dll msvcrt.dll
            run mingw_host.exe "$good" "$bad"
        else
            fail "the MinGW host does not build"
        fi
        ;;
    loadlibrary)
        if $mingw -std=c89 -Wall -Wextra -Werror -I"$sdk/include" -o "$work/bin/loadlibrary_host.exe" \
            "$here/loadlibrary_host.c"; then
            check_imports "$work/bin/loadlibrary_host.exe" KERNEL32.dll msvcrt.dll
            run loadlibrary_host.exe "$(wine_path "$work/bin/KORMELT.dll")" "$good" "$bad"
        else
            fail "the LoadLibrary host does not build"
        fi
        ;;
    *) fail "unknown kind $kind" ;;
    esac
done

finish "$arch: every Windows consumer passed"
