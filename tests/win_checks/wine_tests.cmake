# The Windows tests under Wine: the architectures whose tests are added and
# the functions that add them. Included by tests/CMakeLists.txt before its
# subdirectories, so that every directory below sees the same plain
# variables, whatever order the directories are read in, and nothing of it
# outlives a configure in the cache. A Windows build that is not there, or a
# machine without Wine, leaves kormelt_add_wine_test undefined: callers test
# `if(COMMAND kormelt_add_wine_test)`.

set(KORMELT_WINE_CHECKS_DIR ${CMAKE_CURRENT_LIST_DIR})

if(NOT KORMELT_WIN64_BUILD AND NOT KORMELT_WIN32_BUILD)
    message(STATUS "KORMELT_WIN32_BUILD and KORMELT_WIN64_BUILD are not set: no Windows tests under Wine")
    return()
endif()

find_program(KORMELT_WINE NAMES wine64 wine PATHS /usr/lib/wine DOC "Wine loader for the x86_64 Windows tests")
# Debian's 32-bit loader; /usr/bin/wine is a wrapper that picks one itself.
find_program(KORMELT_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH
    DOC "32-bit Wine loader for the i686 Windows tests")
find_program(KORMELT_WINESERVER NAMES wineserver PATHS /usr/lib/wine DOC "wineserver for the Windows tests")
if(NOT KORMELT_WINE OR NOT KORMELT_WINESERVER OR NOT KORMELT_PYTHON3)
    # None of the Windows tests can be added. One test stands for them, so
    # that a Windows build that was made shows up as failed, not as tests
    # that silently do not exist.
    message(WARNING "Wine or Python 3 not found: the Windows tests under Wine cannot run")
    add_test(NAME wine_available
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine_gate.sh --no-wine "${KORMELT_WIN32_BUILD}" "${KORMELT_WIN64_BUILD}")
    set_tests_properties(wine_available PROPERTIES SKIP_RETURN_CODE 77)
    return()
endif()

# The architectures whose tests are added, and for each its build directory,
# Wine loader and the answer file of the 32-bit probe (none for x86_64).
set(KORMELT_WINE_ARCHS "")
if(KORMELT_WIN64_BUILD)
    list(APPEND KORMELT_WINE_ARCHS x86_64)
endif()
if(KORMELT_WIN32_BUILD)
    list(APPEND KORMELT_WINE_ARCHS i686)
endif()
set(KORMELT_WINE32_ANSWER ${CMAKE_BINARY_DIR}/wine32-probe.txt)

# The tests that have COM3 take it one at a time, about two minutes in all:
# the longest chain of the suite. Each gets that as its COST
# (kormelt_test_seconds), so that the next one starts as soon as COM3 is
# free and the chain does not run on alone after the other tests.
set(KORMELT_WINE_COM3_CHAIN_SECONDS 120)

# kormelt_wine_arch(<arch> <build-var> <loader-var> <probe-var>)
function(kormelt_wine_arch arch build_var loader_var probe_var)
    if(arch STREQUAL "i686")
        set(${build_var} ${KORMELT_WIN32_BUILD} PARENT_SCOPE)
        set(${loader_var} "${KORMELT_WINE32}" PARENT_SCOPE)
        set(${probe_var} ${KORMELT_WINE32_ANSWER} PARENT_SCOPE)
    else()
        set(${build_var} ${KORMELT_WIN64_BUILD} PARENT_SCOPE)
        set(${loader_var} ${KORMELT_WINE} PARENT_SCOPE)
        set(${probe_var} "" PARENT_SCOPE)
    endif()
endfunction()

# kormelt_add_wine_test(ARCH <arch> NAME <name> PROGRAM <file> COMMAND <command> [ARGS...]
#                       [TIMEOUT <seconds>] [USES_COM3] [LABELS <label>...])
#
# A test named wine_<arch>.<name> that runs Windows programs of that
# architecture in the shared prefix. It gets the Wine environment
# (WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, KORMELT_WINE = the arch's loader,
# KORMELT_WINESERVER, KORMELT_WINE_COM3), waits for the prefix fixture (which
# also runs the 32-bit probe), and with USES_COM3 has the COM3 link to itself while
# it runs. It is skipped with the reason when PROGRAM (a file of that
# architecture's build) is missing or the probe said no. The command starts
# its programs with $KORMELT_WINE.
function(kormelt_add_wine_test)
    cmake_parse_arguments(PARSE_ARGV 0 arg "USES_COM3" "ARCH;NAME;PROGRAM;TIMEOUT" "COMMAND;LABELS")
    if(NOT arg_ARCH OR NOT arg_NAME OR NOT arg_PROGRAM OR NOT arg_COMMAND)
        message(FATAL_ERROR "kormelt_add_wine_test needs ARCH, NAME, PROGRAM and COMMAND")
    endif()
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 60)
    endif()
    kormelt_wine_arch(${arg_ARCH} build loader probe)
    set(gate bash ${KORMELT_WINE_CHECKS_DIR}/wine_gate.sh ${arg_PROGRAM})
    if(probe)
        list(APPEND gate --probe ${probe})
    endif()
    set(name wine_${arg_ARCH}.${arg_NAME})
    add_test(NAME ${name} COMMAND ${gate} -- ${arg_COMMAND})
    kormelt_wine_environment(environment ${arg_ARCH})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "${environment}"
        FIXTURES_REQUIRED kormelt_wine_prefix
        SKIP_RETURN_CODE 77
        TIMEOUT ${arg_TIMEOUT})
    if(arg_USES_COM3)
        set_property(TEST ${name} APPEND PROPERTY RESOURCE_LOCK kormelt_wine_com3)
        kormelt_test_seconds(${KORMELT_WINE_COM3_CHAIN_SECONDS} ${name})
    endif()
    if(arg_LABELS)
        set_property(TEST ${name} APPEND PROPERTY LABELS ${arg_LABELS})
    endif()
endfunction()

# The prefix and the COM3 link live at the top of the build tree, so every
# directory that adds Wine tests finds the same ones.
# kormelt_wine_environment(<out> [<arch>]): KORMELT_WINE is that arch's
# loader, wine64 by default (it also sets the prefix up).
function(kormelt_wine_environment out)
    set(loader ${KORMELT_WINE})
    if(ARGC GREATER 1)
        kormelt_wine_arch(${ARGV1} build loader probe)
    endif()
    set(${out}
        WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
        KORMELT_WINE_COM3=${CMAKE_BINARY_DIR}/wine-com3
        KORMELT_WINE=${loader}
        KORMELT_WINESERVER=${KORMELT_WINESERVER}
        WINEDEBUG=-all
        # No Mono or Gecko install prompts, no desktop menu entries.
        WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
        PARENT_SCOPE)
endfunction()
