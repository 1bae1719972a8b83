# Installation: the shared library (with its SONAME link), the public headers, the tool with
# its bash completion and manual page, a CMake package (find_package(Brindle) gives Brindle::brindle) and a pkg-config file.
# Every installed file finds the others relative to its own place, so the whole set can be
# installed under any prefix (`cmake --install build --prefix DIR`).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The public headers need C++17; the library itself is built as C++20.
target_compile_features(brindle INTERFACE cxx_std_17)

# The target names its installed include folder itself ($<INSTALL_INTERFACE:include>).
install(TARGETS brindle EXPORT BrindleTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB brindle_public_headers ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${brindle_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vell DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
if(TARGET brindle_tool)
    install(TARGETS brindle_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # bash-completion loads a command's script by the command's name from this folder.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/brindle.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brindle)
endif()
if(TARGET brindle_man)
    install(FILES ${PROJECT_BINARY_DIR}/tools/brindle.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(brindle_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Brindle)
install(EXPORT BrindleTargets NAMESPACE Brindle:: DESTINATION ${brindle_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/BrindleConfig.cmake.in
    ${PROJECT_BINARY_DIR}/BrindleConfig.cmake
    INSTALL_DESTINATION ${brindle_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrindleConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BrindleConfig.cmake
    ${PROJECT_BINARY_DIR}/BrindleConfigVersion.cmake
    DESTINATION ${brindle_cmake_dir})

# pkg-config: the prefix is taken from where the .pc file lies (${pcfiledir}).
file(RELATIVE_PATH brindle_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" brindle_pc_to_prefix "${brindle_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/brindle.pc.in ${PROJECT_BINARY_DIR}/brindle.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brindle.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
