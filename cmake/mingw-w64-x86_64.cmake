# Cross-compiles 64-bit x86 Windows code with Debian's MinGW-w64 (posix thread
# model). Only the test build uses it: the program ships as 32-bit x86.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KRONVEL_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake)
