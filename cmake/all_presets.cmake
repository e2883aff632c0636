# The tree of the preset "all" (cmake --workflow --preset all). Building it
# configures and builds the tree of every other preset in turn and then
# makes the packages; its tests are those of the linux, sanitize and fuzz
# trees, in one CTest run. scripts/test.sh takes the same steps one by one,
# to time each.

set(presets win-i686 win-x86_64 linux sanitize fuzz)
# Each tree's build runs its own make with the parallel level of the
# environment, not as a child of this tree's make.
set(own_make ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL)

set(previous "")
foreach(preset ${presets})
    add_custom_target(preset.${preset} ALL
        COMMAND ${own_make} ${CMAKE_COMMAND} --preset ${preset}
        COMMAND ${own_make} ${CMAKE_COMMAND} --build --preset ${preset}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        COMMENT "Configuring and building the preset ${preset}"
        USES_TERMINAL
        VERBATIM)
    # One tree at a time: each uses every core already.
    if(previous)
        add_dependencies(preset.${preset} ${previous})
    endif()
    set(previous preset.${preset})
endforeach()

# The packages once every tree is built, so that nothing else builds beside
# them.
set(package_commands "")
foreach(preset win-i686 win-x86_64 linux)
    list(APPEND package_commands COMMAND ${own_make} ${CMAKE_COMMAND} --build --preset ${preset} --target kormelt_packages)
endforeach()
add_custom_target(packages ALL ${package_commands}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Making the Windows SDK zips, the .debs and the wheel"
    USES_TERMINAL
    VERBATIM)
add_dependencies(packages ${previous})

# The suites of the three native trees, as CTest reads subdirectories.
enable_testing()
set(suites "")
foreach(preset linux sanitize fuzz)
    string(APPEND suites "subdirs(\"${PROJECT_SOURCE_DIR}/build/${preset}\")\n")
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/suites.cmake CONTENT "${suites}")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PROJECT_BINARY_DIR}/suites.cmake)
