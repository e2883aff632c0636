# 64-bit Windows, to run the Win32 code under Wine, with Debian's mingw-w64 toolchain.
set(KORMELT_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
