# 32-bit Windows, the deliverable DLL, with Debian's mingw-w64 toolchain.
set(KORMELT_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
