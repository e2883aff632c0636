#!/bin/bash
# Builds the consumer program against an installed KORMELT, once with CMake's
# find_package and once with pkg-config, runs both on a good and a bad image,
# and checks the installed layout.
#
# usage: linux_consumers.sh destdir BUILD_DIR VERSION   install the build with DESTDIR
#        linux_consumers.sh deb PACKAGE_DIR VERSION     unpack the .debs with dpkg-deb -x
#
# Exits 77 (skipped) when the .debs have not been made (the build target
# kormelt_packages).
set -u

SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: linux_consumers.sh destdir BUILD_DIR VERSION | deb PACKAGE_DIR VERSION"
kind=${1:?$usage}
source_dir=${2:?$usage}
version=${3:?$usage}
multiarch=$(gcc -print-multiarch)

# shellcheck source=tests/consumers/checks.sh
. "$here/checks.sh"

root="$work/root"
case "$kind" in
destdir)
    DESTDIR="$root" cmake --install "$source_dir" --prefix /usr >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; exit 1; }
    ;;
deb)
    shopt -s nullglob
    debs=("$source_dir"/*.deb)
    if [ ${#debs[@]} -eq 0 ]; then
        echo "skipped: no .deb in $source_dir; the build target kormelt_packages makes them"
        exit $SKIP
    fi
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x $deb"
    done
    # What the packages declare: the project's version with a packaging
    # revision, computed library dependencies, and the development and tool
    # packages tied to this very runtime.
    runtime_version=""
    for deb in "${debs[@]}"; do
        [ "$(dpkg-deb -f "$deb" Package)" = libkormelt1 ] && runtime_version=$(dpkg-deb -f "$deb" Version)
    done
    [[ "$runtime_version" == "$version"-* ]] || fail "libkormelt1 has the version '$runtime_version', not $version-REVISION"
    for deb in "${debs[@]}"; do
        package=$(dpkg-deb -f "$deb" Package)
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "$package: Depends: $depends"
        case "$package" in
        libkormelt1) [[ "$depends" == *libc6* ]] || fail "$package does not depend on libc6" ;;
        libkormelt-dev) [[ "$depends" == *"libkormelt1 (= $runtime_version)"* ]] || fail "$package: $depends" ;;
        kormelt) [[ "$depends" == *"libkormelt1 (= $runtime_version)"* && "$depends" == *libc6* ]] ||
            fail "$package: $depends" ;;
        *) fail "unexpected package $package" ;;
        esac
        [ -f "$root/usr/share/doc/$package/copyright" ] || fail "$package has no copyright file"
    done
    ;;
*)
    echo "unknown kind $kind" >&2
    exit 2
    ;;
esac

libdir="$root/usr/lib/$multiarch"
for file in include/KORMELT/api.h include/KORMELT/protocol/status.h include/KORMELT/protocol/progress.h "lib/$multiarch/libKORMELT.so.$version" \
    "lib/$multiarch/pkgconfig/KORMELT.pc" "lib/$multiarch/cmake/KORMELT/KORMELTConfig.cmake" \
    "lib/$multiarch/cmake/KORMELT/KORMELTConfigVersion.cmake" bin/kormelt bin/kormelt-sim \
    share/man/man1/kormelt.1.gz share/man/man1/kormelt-sim.1.gz; do
    [ -f "$root/usr/$file" ] || fail "$file is not installed"
done
[ "$(readlink "$libdir/libKORMELT.so")" = libKORMELT.so.1 ] || fail "libKORMELT.so does not lead to libKORMELT.so.1"
[ "$(readlink "$libdir/libKORMELT.so.1")" = "libKORMELT.so.$version" ] || fail "libKORMELT.so.1 is not the SONAME link"
soname=$(objdump -p "$libdir/libKORMELT.so.$version" | awk '/SONAME/ {print $2}')
[ "$soname" = libKORMELT.so.1 ] || fail "SONAME is '$soname'"

python3 "$here/make_images.py" "$work" || exit 1
run_consumer() {  # run_consumer NAME PROGRAM
    local output
    if output=$(LD_LIBRARY_PATH="$libdir" "$2" "$work/good.img" "$work/bad.img" 2>&1); then
        echo "$1: ok"
    else
        fail "$1 consumer: $output"
    fi
    # The program must have used the installed library, not another one.
    LD_LIBRARY_PATH="$libdir" ldd "$2" | grep -q "$libdir/libKORMELT.so.1" ||
        fail "$1 consumer did not load the installed library"
}

if cmake -S "$here/cmake_consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
    >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    run_consumer "find_package" "$work/cmake/consumer"
else
    cat "$work/cmake.log"
    fail "the find_package consumer does not build"
fi

if flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs "KORMELT >= $version") &&
    # shellcheck disable=SC2086
    cc -std=c89 -Wall -Wextra -pedantic -Werror -o "$work/pc-consumer" "$here/consumer.c" $flags; then
    run_consumer "pkg-config" "$work/pc-consumer"
else
    fail "the pkg-config consumer does not build"
fi

finish "$kind: every consumer passed"
