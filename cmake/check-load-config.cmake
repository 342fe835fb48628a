# Fails the build, and removes the image, when EXE's load configuration
# directory is empty: GNU ld before binutils 2.45 links one so, ignoring
# _load_config_used, and such a kronvel.exe would load the DLLs it imports from
# its own folder. The toolchain's objdump reads the headers; it lists the data
# directories by index, and 10 (a) is the load configuration's.
# Usage: cmake -DEXE=kronvel.exe -DOBJDUMP=objdump -P check-load-config.cmake
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "\nEntry a [0-9a-f]+ [0-9a-f]+ " entry "${headers}")
if(NOT entry OR entry MATCHES "Entry a 0+ 0+ ")
    file(REMOVE "${EXE}")
    message(FATAL_ERROR "${EXE}: the linker left the load configuration directory empty, so Windows would load "
            "the DLLs it imports from the program's own folder. GNU ld fills it from _load_config_used only from "
            "binutils 2.45 on: link with clang++ and ld.lld (KRONVEL_USE_LLD), or with GNU ld 2.45 or later.")
endif()
