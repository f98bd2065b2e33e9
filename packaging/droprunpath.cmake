# Runs before the packages are made: installed programs find the libraries in
# the system's folder, so the run path that a build-tree install needs goes.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        file(RPATH_REMOVE FILE "${file}")
    endif()
endforeach()
