# What both Windows toolchains share: Debian's mingw-w64 compilers for
# KORMELT_MINGW_ARCH (i686 or x86_64), which the including file sets, and a
# search for libraries and headers in that architecture's root alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KORMELT_MINGW_ARCH})
set(CMAKE_C_COMPILER ${KORMELT_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${KORMELT_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${KORMELT_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORMELT_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
