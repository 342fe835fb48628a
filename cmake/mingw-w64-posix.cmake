# The part of the MinGW-w64 toolchain files both machines share: Debian's
# cross compilers for KRONVEL_TRIPLE with the posix thread model, which
# GoogleTest needs, and its libraries and headers under /usr/KRONVEL_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KRONVEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRONVEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KRONVEL_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KRONVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
