# Sets BRINDLE_HAS_WATCH when the library defines the watch exports. The multi-process tests
# and the sharing benchmark build their watching parts only then, stand-ins otherwise.
file(GLOB_RECURSE watch_library_sources ${PROJECT_SOURCE_DIR}/src/*.cpp)
set(BRINDLE_HAS_WATCH OFF)
foreach(source ${watch_library_sources})
    file(STRINGS ${source} unwatch REGEX "^bool Unwatch\\(|[ :]Unwatch\\(WatchToken")
    if(unwatch)
        set(BRINDLE_HAS_WATCH ON)
    endif()
endforeach()
