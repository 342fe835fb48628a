/* The image's load configuration, found by the linker under this name. Its one
   setting makes Windows 10 1607 and later load the DLLs this program imports
   from System32 only, so that a winmm.dll planted beside the .exe (in a
   downloads folder, say) is never loaded. Earlier Windows ignores it. */
#include <windows.h>

#define SEARCH_SYSTEM32 0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */

/* Reserved1 is the field newer headers call DependentLoadFlags. */
const IMAGE_LOAD_CONFIG_DIRECTORY32 _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY32),
    .Reserved1 = SEARCH_SYSTEM32,
};
