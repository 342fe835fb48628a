# Fails the build, and removes the image, when EXE's load configuration
# directory is empty: GNU ld before binutils 2.45 links one so, ignoring
# _load_config_used, and such a kronvel.exe would load the DLLs it imports from
# its own folder. Usage: cmake -DEXE=kronvel.exe -P check-load-config.cmake
function(read_le offset size out) # a little-endian number at a file offset
    math(EXPR offset "${offset}")
    file(READ "${EXE}" hex OFFSET ${offset} LIMIT ${size} HEX)
    set(value 0)
    foreach(i RANGE ${size})
        if(i GREATER 0)
            math(EXPR at "(${size} - ${i}) * 2")
            string(SUBSTRING "${hex}" ${at} 2 byte)
            math(EXPR value "${value} * 256 + 0x${byte}")
        endif()
    endforeach()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

read_le(60 4 nt) # e_lfanew
read_le(${nt}+24 2 magic)
if(magic EQUAL 0x20B) # PE32+: the data directories start 16 bytes later
    set(directories 112)
else()
    set(directories 96)
endif()
math(EXPR entry "${nt} + 24 + ${directories} + 10 * 8") # IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG
read_le(${entry} 8 load_config)
if(load_config EQUAL 0)
    file(REMOVE "${EXE}")
    message(FATAL_ERROR "${EXE}: the linker left the load configuration directory empty, so Windows would load "
            "the DLLs it imports from the program's own folder. GNU ld fills it from _load_config_used only from "
            "binutils 2.45 on: link with clang++ and ld.lld (KRONVEL_USE_LLD), or with GNU ld 2.45 or later.")
endif()
