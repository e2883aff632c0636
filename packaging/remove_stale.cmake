# cmake -DPATTERN=<glob> -P remove_stale.cmake: removes the packages an
# earlier run left, of another version say, so that the folder holds only
# what this run makes.
file(GLOB stale "${PATTERN}")
if(stale)
    file(REMOVE ${stale})
endif()
