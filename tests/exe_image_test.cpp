// A built kronvel.exe as users get it: its image headers, imports and load
// configuration (here), its resources (exe_resources_test.cpp) and the program
// itself, started and driven from this process (exe_program_test.cpp).
//
// Usage: exe_tests --machine=x86|x64 PATH-TO-kronvel.exe [gtest options]
// The machine is the one the image must be built for: x86 for the shipped
// program, x64 for the test build's. A 64-bit exe_tests reads a 32-bit image
// as well as its own kind; only the Program tests need to run it.
#include "windows_test.h"

#include <cstring>

namespace {

const Machine MACHINES[] = {
    // name  file machine              optional header                no SEH size  flags cookie table
    {"x86", IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, true, 0x48, 0x36, 0x3C, 0x40},
    {"x64", IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, false, 0x70, 0x4E, 0x58, 0x60},
};

class Image : public testing::Test, public PeFile {
  protected:
    Image() : PeFile(g_exePath) {}
};

TEST_F(Image, IsAGuiProgramForWindows60AndItsMachine)
{
    ASSERT_GT(bytes.size(), 4096u) << "cannot read " << Narrow(g_exePath);
    const IMAGE_NT_HEADERS32 *nt = Headers();
    EXPECT_EQ(nt->Signature, DWORD(IMAGE_NT_SIGNATURE));
    EXPECT_EQ(nt->FileHeader.Machine, g_machine->fileMachine) << "built for " << g_machine->name << "?";
    const IMAGE_OPTIONAL_HEADER32 &optional = Optional();
    EXPECT_EQ(optional.Magic, g_machine->optionalMagic);
    EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(optional.MajorSubsystemVersion, 6);
    EXPECT_EQ(optional.MinorSubsystemVersion, 0);
    EXPECT_EQ(optional.MajorOperatingSystemVersion, 6);
    EXPECT_EQ(optional.MinorOperatingSystemVersion, 0);
}

TEST_F(Image, IsRelocatableNoExecuteCompatibleAndTerminalServerAware)
{
    WORD dll = Optional().DllCharacteristics;
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
    // Randomisation needs the relocations to be there.
    EXPECT_FALSE(Headers()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 8u);
}

TEST_F(Image, HasNoExceptionHandlersAndIsMarkedSo)
{
    EXPECT_EQ((Optional().DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH) != 0, g_machine->markedNoSeh);
    if (g_machine->fileMachine != IMAGE_FILE_MACHINE_I386)
        return; // x64 has no handler chain to register with
    // Registering a handler on x86 means touching fs:[0], the head of the
    // thread's handler chain: no code in the image addresses it.
    const IMAGE_NT_HEADERS32 *nt = Headers();
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (!(section->Characteristics & IMAGE_SCN_MEM_EXECUTE))
            continue;
        const unsigned char *code = At<unsigned char>(section->PointerToRawData);
        size_t size = std::min<size_t>(section->SizeOfRawData, bytes.size() - section->PointerToRawData);
        static const unsigned char zero[4] = {0, 0, 0, 0};
        for (size_t at = 0; at + 7 <= size; ++at) {
            if (code[at] != 0x64) // fs segment prefix
                continue;
            unsigned char op = code[at + 1], modrm = code[at + 2];
            bool moffs = (op == 0xA1 || op == 0xA3) && memcmp(code + at + 2, zero, 4) == 0; // mov eax <-> fs:[0]
            bool disp32 = (op == 0x89 || op == 0x8B || op == 0xFF || op == 0xC7) && (modrm & 0xC7) == 0x05 &&
                          memcmp(code + at + 3, zero, 4) == 0; // mov/push with fs:[0]
            EXPECT_FALSE(moffs || disp32) << "fs:[0] at file offset " << section->PointerToRawData + at;
        }
    }
}

TEST_F(Image, LoadsItsImportsFromSystem32Only)
{
    // The load configuration as the program defines it, read at the PE
    // format's offsets rather than through a header's structure, whose field
    // names and size differ between MinGW-w64 releases. Linkers differ in the
    // size they write into the directory (lld copies the structure's own Size,
    // GNU ld need not): it only has to reach past the flags.
    const IMAGE_DATA_DIRECTORY dir = Directory(IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
    ASSERT_GE(dir.Size, g_machine->dependentLoadFlagsAt + 2u) << "no load configuration, or one without the flags";
    size_t config = FileOffset(dir.VirtualAddress);
    EXPECT_EQ(*At<DWORD>(config), g_machine->loadConfigSize) << "Size, with " << dir.Size << " in the directory";
    EXPECT_EQ(*At<WORD>(config + g_machine->dependentLoadFlagsAt), 0x800)
        << "DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32";
    EXPECT_EQ(AddressAt(config + g_machine->securityCookieAt), 0u) << "SecurityCookie";
    EXPECT_EQ(AddressAt(config + g_machine->seHandlerTableAt), 0u) << "SEHandlerTable";
}

TEST_F(Image, CarriesStackProtectionAndNoTimeStamp)
{
    // The message of the stack-protector runtime, linked in only when
    // protected code calls it.
    std::string file(bytes.begin(), bytes.end());
    EXPECT_NE(file.find("stack smashing detected"), std::string::npos);
    EXPECT_EQ(Headers()->FileHeader.TimeDateStamp, 0u);
}

TEST_F(Image, ImportsOnlySystemDllsAndBindsNtdllsTimerCallsByName)
{
    std::map<std::string, std::set<std::string>> imports = Imports();
    WCHAR system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    for (const auto &dll : imports) {
        std::wstring path = std::wstring(system) + L"\\" + std::wstring(dll.first.begin(), dll.first.end());
        EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << dll.first << " is not a system DLL";
        EXPECT_EQ(dll.second.count("NtQueryTimerResolution"), 0u) << dll.first;
        EXPECT_EQ(dll.second.count("NtSetTimerResolution"), 0u) << dll.first;
    }
    EXPECT_EQ(imports.count("NTDLL.DLL"), 0u);
    ASSERT_EQ(imports.count("WINMM.DLL"), 1u);
    EXPECT_EQ(imports["WINMM.DLL"], (std::set<std::string>{"timeBeginPeriod", "timeEndPeriod"}));
    std::string file(bytes.begin(), bytes.end());
    EXPECT_NE(file.find(std::string("NtQueryTimerResolution") + '\0'), std::string::npos);
    EXPECT_NE(file.find(std::string("NtSetTimerResolution") + '\0'), std::string::npos);
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (const Machine &m : MACHINES)
        if (argc == 3 && argv[1] == "--machine=" + std::string(m.name))
            g_machine = &m;
    // One full path for every check, whatever the current folder or the DLL
    // search order.
    WCHAR full[MAX_PATH];
    DWORD length =
        argc == 3 ? GetFullPathNameW(std::wstring(argv[2], argv[2] + strlen(argv[2])).c_str(), MAX_PATH, full, nullptr)
                  : 0;
    if (g_machine == nullptr || length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "usage: exe_tests --machine=x86|x64 PATH-TO-kronvel.exe [gtest options]\n");
        return 2;
    }
    g_exePath = full;
    return RUN_ALL_TESTS();
}
