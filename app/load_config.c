/* The image's load configuration, found by the linker under this name. Its one
   setting makes Windows 10 1607 and later load the DLLs this program imports
   from System32 only, so that a winmm.dll planted beside the .exe (in a
   downloads folder, say) is never loaded. Earlier Windows ignores it.

   The layout is written out here rather than taken from <winnt.h>: MinGW-w64's
   headers have called the field this program sets Reserved1 and, from release
   13 on, DependentLoadFlags, and newer headers grow the structure to the
   newest Windows' size. Windows reads as many fields as Size says, so Size is
   the size of exactly the fields below, whatever the headers hold. */
#include <stddef.h>
#include <windows.h>

#define SEARCH_SYSTEM32 0x800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */

#ifdef _WIN64
typedef ULONGLONG Address; /* an address, or a size as wide as one */
#else
typedef DWORD Address;
#endif

/* The load configuration up to SEHandlerCount: 0x48 bytes for x86, 0x70 for
   x64 (the test build), as the PE format lays them out. */
struct LoadConfig {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    Address DeCommitFreeBlockThreshold;
    Address DeCommitTotalFreeThreshold;
    Address LockPrefixTable;
    Address MaximumAllocationSize;
    Address VirtualMemoryThreshold;
#ifdef _WIN64
    Address ProcessAffinityMask; /* the two swap places in the 64-bit layout */
    DWORD ProcessHeapFlags;
#else
    DWORD ProcessHeapFlags;
    Address ProcessAffinityMask;
#endif
    WORD CSDVersion;
    WORD DependentLoadFlags;
    Address EditList;
    Address SecurityCookie;
    Address SEHandlerTable;
    Address SEHandlerCount;
};

#ifdef _WIN64
_Static_assert(offsetof(struct LoadConfig, DependentLoadFlags) == 0x4E, "x64 layout");
_Static_assert(sizeof(struct LoadConfig) == 0x70, "x64 layout");
#else
_Static_assert(offsetof(struct LoadConfig, DependentLoadFlags) == 0x36, "x86 layout");
_Static_assert(sizeof(struct LoadConfig) == 0x48, "x86 layout");
#endif

const struct LoadConfig _load_config_used = {
    .Size = sizeof(struct LoadConfig),
    .DependentLoadFlags = SEARCH_SYSTEM32,
};
