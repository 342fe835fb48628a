# Finds GoogleTest: an installed package (MSYS2's, say), or the sources Debian's
# googletest package puts in /usr/src/googletest, built with this project's compiler.
set(KRONVEL_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources to build when no package is found")
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest CONFIG QUIET)
endif()
if(NOT TARGET GTest::gtest_main AND EXISTS "${KRONVEL_GOOGLETEST_SOURCE}/CMakeLists.txt")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory("${KRONVEL_GOOGLETEST_SOURCE}" "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()
