# cmake -DSOURCE_DIR=<tree> -P check_includes.cmake
#
# What each layer's files include, checked line by line: the quoted includes
# of a layer name only the layers below it and itself, and the protocol core
# includes no platform header and nothing that does I/O. The include
# directories make most of this a build error already; this also catches a
# relative path around them.
cmake_minimum_required(VERSION 3.25)
set(layers
    "protocol|protocol/"
    "link|protocol/ link/"
    "device|protocol/ link/ device/"
    "tools/sim|protocol/ link/line_speed_posix.h tools/sim/ tools/common/"
    "tools/common|tools/common/"
    "tools/kormelt|protocol/ device/api.h link/port_name.h link/port_open_posix.h link/port_url.h link/remote_connect_posix.h tools/common/ tools/sim/ tools/kormelt/ tools/records/ tools/station/ tools/ui/"
    "tools/records|tools/common/ tools/kormelt/ tools/records/"
    "tools/station|protocol/ device/api.h tools/common/ tools/kormelt/ tools/records/ tools/station/"
    "tools/ui|device/api.h tools/common/ tools/kormelt/ tools/records/ tools/station/ tools/ui/")
set(core_forbidden cstdio fstream iostream istream ostream sstream filesystem thread chrono)

set(problems "")
foreach(layer ${layers})
    string(REPLACE "|" ";" parts "${layer}")
    list(GET parts 0 dir)
    list(GET parts 1 allowed)
    string(REPLACE " " ";" allowed "${allowed}")
    file(GLOB files ${SOURCE_DIR}/${dir}/*.h ${SOURCE_DIR}/${dir}/*.cpp)
    foreach(file ${files})
        file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
        foreach(line ${includes})
            if(line MATCHES "\"([^\"]+)\"")
                set(path ${CMAKE_MATCH_1})
                set(ok FALSE)
                foreach(prefix ${allowed})
                    string(FIND "${path}" "${prefix}" at)
                    if(at EQUAL 0 AND NOT path MATCHES "\\.\\.")
                        set(ok TRUE)
                    endif()
                endforeach()
                if(NOT ok)
                    string(APPEND problems "${file}: ${line}\n")
                endif()
            elseif(dir STREQUAL "protocol" AND line MATCHES "<([^>]+)>")
                set(header ${CMAKE_MATCH_1})
                if(header MATCHES "[./]" OR header IN_LIST core_forbidden)
                    string(APPEND problems "${file}: ${line} (the protocol core does no I/O and has no platform)\n")
                endif()
            endif()
        endforeach()
    endforeach()
endforeach()

if(problems)
    message(FATAL_ERROR "includes that cross the layers:\n${problems}")
endif()
message(STATUS "every layer includes only itself and the layers below it")
