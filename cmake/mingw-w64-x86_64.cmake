# Cross-compiles 64-bit x86 Windows code with Debian's MinGW-w64 (posix thread
# model). Only the test build uses it: the program ships as 32-bit x86.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KRONVEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KRONVEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRONVEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KRONVEL_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KRONVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
