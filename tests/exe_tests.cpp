// exe_tests: the running kronvel.exe, started and driven from this process as
// a user would drive it, and the checks of what only real Windows does with
// it; the tests are in exe_*_test.cpp, one file per behaviour, sharing
// exe_tests.h. The file's bytes are checked on the build host
// (exe_file_test.py).
//
// Usage: exe_tests PATH-TO-kronvel.exe [gtest options]
#include "exe_tests.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // One full path for every check, whatever the current folder or the DLL
    // search order.
    WCHAR full[MAX_PATH];
    DWORD length =
        argc == 2 ? GetFullPathNameW(std::wstring(argv[1], argv[1] + strlen(argv[1])).c_str(), MAX_PATH, full, nullptr)
                  : 0;
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "usage: exe_tests PATH-TO-kronvel.exe [gtest options]\n");
        return 2;
    }
    g_exePath = full;
    return RUN_ALL_TESTS();
}
