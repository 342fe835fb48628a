// A built kronvel.exe as users get it: its image headers and imports, its
// resources read back through the loader, and the program itself, started and
// driven from this process.
//
// Usage: exe_tests --machine=x86|x64 PATH-TO-kronvel.exe [gtest options]
// The machine is the one the image must be built for: x86 for the shipped
// program, x64 for the test build's. A 64-bit exe_tests reads a 32-bit image
// as well as its own kind; only the Program tests need to run it.
#include "resource.h"
#include "timer_resolution.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring g_exePath; // the program under test

// What the image must be for each machine. The load configuration is the one
// the program defines, up to SEHandlerCount, at the PE format's offsets.
struct Machine {
    const char *name; // as given with --machine
    WORD fileMachine;
    WORD optionalMagic;
    bool markedNoSeh; // x86 only: x64 unwinds through tables, not a handler chain
    DWORD loadConfigSize, dependentLoadFlagsAt, securityCookieAt, seHandlerTableAt;
};
const Machine MACHINES[] = {
    // name  file machine              optional header                no SEH size  flags cookie table
    {"x86", IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, true, 0x48, 0x36, 0x3C, 0x40},
    {"x64", IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, false, 0x70, 0x4E, 0x58, 0x60},
};
const Machine *g_machine = nullptr;

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(toupper(c)); });
    return text;
}

// ---------------------------------------------------------------------------
// The image file

// An image file's bytes and the headers the tests read from them.
struct PeFile {
    explicit PeFile(const std::wstring &path)
    {
        std::ifstream in(Narrow(path), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    template <typename T> const T *At(size_t offset)
    {
        if (offset + sizeof(T) > bytes.size())
            throw std::runtime_error("offset past the end of the file");
        return reinterpret_cast<const T *>(bytes.data() + offset);
    }
    // The signature and file header, which both image formats share.
    const IMAGE_NT_HEADERS32 *Headers()
    {
        return At<IMAGE_NT_HEADERS32>(size_t(At<IMAGE_DOS_HEADER>(0)->e_lfanew));
    }
    bool IsPe32Plus() { return Headers()->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC; }

    // The optional header's fields these tests look at, from either layout.
    struct Optional {
        WORD magic, subsystem, majorSubsystem, minorSubsystem, majorOs, minorOs, dllCharacteristics;
        IMAGE_DATA_DIRECTORY directory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
    };
    template <typename Header> static Optional Fields(const Header &h)
    {
        Optional o = {h.Magic,
                      h.Subsystem,
                      h.MajorSubsystemVersion,
                      h.MinorSubsystemVersion,
                      h.MajorOperatingSystemVersion,
                      h.MinorOperatingSystemVersion,
                      h.DllCharacteristics,
                      {}};
        memcpy(o.directory, h.DataDirectory, sizeof o.directory);
        return o;
    }
    Optional OptionalHeader()
    {
        size_t nt = size_t(At<IMAGE_DOS_HEADER>(0)->e_lfanew);
        return IsPe32Plus() ? Fields(At<IMAGE_NT_HEADERS64>(nt)->OptionalHeader)
                            : Fields(At<IMAGE_NT_HEADERS32>(nt)->OptionalHeader);
    }
    // An address-sized value: 4 bytes in a 32-bit image, 8 in a 64-bit one.
    ULONGLONG AddressAt(size_t offset) { return IsPe32Plus() ? *At<ULONGLONG>(offset) : *At<DWORD>(offset); }

    size_t FileOffset(DWORD rva)
    {
        const IMAGE_NT_HEADERS32 *nt = Headers();
        const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        throw std::runtime_error("address in no section");
    }
    std::string StringAt(DWORD rva) { return At<char>(FileOffset(rva)); }

    // Imported DLL (upper case) -> the names imported from it.
    std::map<std::string, std::set<std::string>> Imports()
    {
        std::map<std::string, std::set<std::string>> imports;
        const IMAGE_DATA_DIRECTORY dir = OptionalHeader().directory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const size_t thunkSize = IsPe32Plus() ? 8 : 4;
        const ULONGLONG byOrdinal = IsPe32Plus() ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
        for (size_t offset = FileOffset(dir.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const IMAGE_IMPORT_DESCRIPTOR *d = At<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (d->Name == 0)
                break;
            std::set<std::string> &names = imports[Upper(StringAt(d->Name))];
            DWORD thunks = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
            for (size_t t = FileOffset(thunks); AddressAt(t) != 0; t += thunkSize) {
                ULONGLONG entry = AddressAt(t);
                names.insert(entry & byOrdinal ? "#" + std::to_string(entry & 0xFFFF) : StringAt(DWORD(entry) + 2));
            }
        }
        return imports;
    }

    // Where the load configuration's DependentLoadFlags lie in the file.
    size_t DependentLoadFlagsOffset()
    {
        return FileOffset(OptionalHeader().directory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG].VirtualAddress) +
               g_machine->dependentLoadFlagsAt;
    }

    std::vector<char> bytes;
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
    Optional optional = OptionalHeader();
    EXPECT_EQ(optional.magic, g_machine->optionalMagic);
    EXPECT_EQ(optional.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(optional.majorSubsystem, 6);
    EXPECT_EQ(optional.minorSubsystem, 0);
    EXPECT_EQ(optional.majorOs, 6);
    EXPECT_EQ(optional.minorOs, 0);
}

TEST_F(Image, IsRelocatableNoExecuteCompatibleAndTerminalServerAware)
{
    Optional optional = OptionalHeader();
    WORD dll = optional.dllCharacteristics;
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
    // Randomisation needs the relocations to be there.
    EXPECT_FALSE(Headers()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(optional.directory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 8u);
}

TEST_F(Image, HasNoExceptionHandlersAndIsMarkedSo)
{
    EXPECT_EQ((OptionalHeader().dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH) != 0, g_machine->markedNoSeh);
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
    const IMAGE_DATA_DIRECTORY dir = OptionalHeader().directory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
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

// ---------------------------------------------------------------------------
// Resources, through the loader

class Resources : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        module = LoadLibraryExW(g_exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static void TearDownTestSuite() { FreeLibrary(module); }

    static std::string Data(LPCWSTR type, LPCWSTR name)
    {
        HRSRC found = FindResourceExW(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        if (found == nullptr)
            return std::string();
        const char *data = static_cast<const char *>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }

    static HMODULE module;
};
HMODULE Resources::module;

std::string ResourceName(LPCWSTR name)
{
    return IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<ULONG_PTR>(name)) : Narrow(name);
}

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR all)
{
    reinterpret_cast<std::vector<std::string> *>(all)->push_back(ResourceName(type) + "/" + ResourceName(name) + "/" +
                                                                 std::to_string(language));
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR all)
{
    return EnumResourceLanguagesW(module, type, name, AddLanguage, all);
}

BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR all)
{
    return EnumResourceNamesW(module, type, AddName, all);
}

TEST_F(Resources, AreExactlyTheDialogIconsManifestAndLayoutRecordInLanguage1033)
{
    ASSERT_NE(module, nullptr) << "cannot load " << Narrow(g_exePath);
    std::vector<std::string> all;
    EnumResourceTypesW(module, AddType, reinterpret_cast<LONG_PTR>(&all));
    std::sort(all.begin(), all.end());
    std::vector<std::string> expected = {"14/103/1033", "24/1/1033", "5/101/1033", "AFX_DIALOG_LAYOUT/101/1033"};
    for (int id = 1; id <= 10; ++id)
        expected.push_back("3/" + std::to_string(id) + "/1033");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);

    EXPECT_EQ(Data(L"AFX_DIALOG_LAYOUT", MAKEINTRESOURCEW(IDD_MAIN)), std::string(2, '\0'));
}

// Reads a DLGTEMPLATEEX field by field.
struct Reader {
    const char *at, *end;
    template <typename T> T Take()
    {
        T value;
        if (at + sizeof value > end)
            throw std::runtime_error("template ends early");
        memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::wstring String()
    {
        std::wstring s;
        for (WCHAR c = Take<WCHAR>(); c != 0; c = Take<WCHAR>())
            s += c;
        return s;
    }
    // A name or an ordinal; predefined window classes by their names.
    std::wstring NameOrOrdinal()
    {
        if (at + 2 <= end && *reinterpret_cast<const WORD *>(at) == 0xFFFF) {
            Take<WORD>();
            WORD ordinal = Take<WORD>();
            static const wchar_t *classes[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
            return ordinal >= 0x80 && ordinal <= 0x85 ? classes[ordinal - 0x80] : L"#" + std::to_wstring(ordinal);
        }
        return String();
    }
    void AlignTo4(const char *base) { at += (4 - (at - base) % 4) % 4; }
};

TEST_F(Resources, DialogTemplateHoldsTheWindowAndItsTenControls)
{
    std::string data = Data(RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN));
    ASSERT_FALSE(data.empty());
    Reader r = {data.data(), data.data() + data.size()};
    EXPECT_EQ(r.Take<WORD>(), 1);      // dlgVer
    EXPECT_EQ(r.Take<WORD>(), 0xFFFF); // signature: DIALOGEX
    EXPECT_EQ(r.Take<DWORD>(), 0u);    // help id
    EXPECT_EQ(r.Take<DWORD>(), 0u);    // extended style
    EXPECT_EQ(r.Take<DWORD>(),
              DWORD(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SHELLFONT));
    WORD count = r.Take<WORD>();
    EXPECT_EQ(r.Take<short>(), 0);
    EXPECT_EQ(r.Take<short>(), 0);
    EXPECT_EQ(r.Take<short>(), 165);
    EXPECT_EQ(r.Take<short>(), 95);
    EXPECT_EQ(r.NameOrOrdinal(), L""); // no menu
    EXPECT_EQ(r.NameOrOrdinal(), L""); // the default dialog class
    EXPECT_EQ(r.String(), L"Kronvel");
    EXPECT_EQ(r.Take<WORD>(), 8);   // points
    EXPECT_EQ(r.Take<WORD>(), 400); // weight
    EXPECT_EQ(r.Take<BYTE>(), 0);   // not italic
    EXPECT_EQ(r.Take<BYTE>(), 1);   // character set
    EXPECT_EQ(r.String(), L"MS Shell Dlg");

    const DWORD CHILD = WS_CHILD | WS_VISIBLE;
    static const struct {
        const wchar_t *cls;
        int id;
        const wchar_t *text;
        short x, y, cx, cy;
        DWORD style;
    } controls[] = {
        {L"Button", IDC_START_STOP, L"Start", 7, 74, 50, 14, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON},
        {L"Button", IDCANCEL, L"Exit", 108, 74, 50, 14, CHILD | WS_TABSTOP | BS_PUSHBUTTON},
        {L"Static", -1, L"Max timer period: ", 18, 17, 84, 8, CHILD | WS_GROUP | SS_LEFT},
        {L"Static", -1, L"Min timer period: ", 18, 28, 84, 8, CHILD | WS_GROUP | SS_LEFT},
        {L"Static", -1, L"Current timer period: ", 18, 39, 84, 8, CHILD | WS_GROUP | SS_LEFT},
        {L"Static", IDC_MAX_PERIOD, L"0 ms", 111, 17, 44, 8, CHILD | WS_GROUP | SS_RIGHT},
        {L"Static", IDC_MIN_PERIOD, L"0 ms", 111, 28, 44, 8, CHILD | WS_GROUP | SS_RIGHT},
        {L"Static", IDC_CUR_PERIOD, L"0 ms", 111, 38, 44, 8, CHILD | WS_GROUP | SS_RIGHT},
        {L"Static", -1, L"Request period:", 18, 52, 57, 8, CHILD | WS_GROUP | SS_LEFT},
        {L"ComboBox", IDC_PERIOD_LIST, L"", 79, 50, 79, 30, CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN},
    };
    ASSERT_EQ(count, std::size(controls));
    for (const auto &c : controls) {
        SCOPED_TRACE(testing::Message() << "control " << c.id << " \"" << Narrow(c.text) << "\"");
        r.AlignTo4(data.data());
        EXPECT_EQ(r.Take<DWORD>(), 0u); // help id
        EXPECT_EQ(r.Take<DWORD>(), 0u); // extended style
        EXPECT_EQ(r.Take<DWORD>(), c.style);
        EXPECT_EQ(r.Take<short>(), c.x);
        EXPECT_EQ(r.Take<short>(), c.y);
        EXPECT_EQ(r.Take<short>(), c.cx);
        EXPECT_EQ(r.Take<short>(), c.cy);
        EXPECT_EQ(int(r.Take<DWORD>()), c.id);
        // Class names are case-insensitive; windres writes them in capitals.
        EXPECT_EQ(_wcsicmp(r.NameOrOrdinal().c_str(), c.cls), 0);
        EXPECT_EQ(r.NameOrOrdinal(), c.text);
        EXPECT_EQ(r.Take<WORD>(), 0); // no creation data
    }
}

TEST_F(Resources, IconGroupHoldsTenUncompressed32BitImagesLargestFirst)
{
    std::string group = Data(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_MAIN));
    ASSERT_GE(group.size(), 6u);
    Reader r = {group.data(), group.data() + group.size()};
    EXPECT_EQ(r.Take<WORD>(), 0); // reserved
    EXPECT_EQ(r.Take<WORD>(), 1); // icons
    static const int sizes[] = {128, 96, 72, 64, 48, 40, 32, 24, 20, 16};
    ASSERT_EQ(r.Take<WORD>(), std::size(sizes));
    for (int i = 0; i < 10; ++i) {
        int size = sizes[i];
        SCOPED_TRACE(testing::Message() << "image " << i + 1 << ", " << size << " px");
        EXPECT_EQ(r.Take<BYTE>(), BYTE(size)); // width
        EXPECT_EQ(r.Take<BYTE>(), BYTE(size)); // height
        EXPECT_EQ(r.Take<BYTE>(), 0);          // no palette
        EXPECT_EQ(r.Take<BYTE>(), 0);
        EXPECT_EQ(r.Take<WORD>(), 1);  // planes
        EXPECT_EQ(r.Take<WORD>(), 32); // bits per pixel
        DWORD bytes = r.Take<DWORD>();
        WORD id = r.Take<WORD>();
        EXPECT_EQ(id, i + 1);

        std::string image = Data(RT_ICON, MAKEINTRESOURCEW(id));
        ASSERT_EQ(image.size(), bytes);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER) + size_t(size * size * 4));
        BITMAPINFOHEADER header;
        memcpy(&header, image.data(), sizeof header);
        EXPECT_EQ(header.biSize, sizeof header); // a bitmap, not PNG
        EXPECT_EQ(header.biWidth, size);
        EXPECT_EQ(header.biHeight, 2 * size); // colour and mask
        EXPECT_EQ(header.biPlanes, 1);
        EXPECT_EQ(header.biBitCount, 32);
        EXPECT_EQ(header.biCompression, DWORD(BI_RGB));
        // The alpha channel is used: transparent corner, opaque centre.
        const unsigned char *pixels = reinterpret_cast<const unsigned char *>(image.data()) + sizeof header;
        EXPECT_EQ(pixels[3], 0);                                        // bottom-left corner
        EXPECT_EQ(pixels[((size / 2) * size + size / 2) * 4 + 3], 255); // centre
    }
}

// The value of attribute name inside the first element that starts with tag.
std::string Attribute(const std::string &xml, const std::string &tag, const std::string &name)
{
    size_t element = xml.find("<" + tag);
    size_t close = xml.find('>', element);
    if (element == std::string::npos)
        return "(no " + tag + ")";
    std::string body = xml.substr(element, close - element);
    size_t at = body.find(" " + name + "=\"");
    if (at == std::string::npos)
        return "(no " + name + ")";
    at += name.size() + 3;
    return body.substr(at, body.find('"', at) - at);
}

TEST_F(Resources, ManifestRunsAsInvokerWithCommonControls6AndNothingElse)
{
    std::string xml = Data(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(xml.empty());
    EXPECT_EQ(Attribute(xml, "requestedExecutionLevel", "level"), "asInvoker");
    EXPECT_EQ(Attribute(xml, "requestedExecutionLevel", "uiAccess"), "false");
    // The one assembly identity is the dependency's: the program declares none of its own.
    size_t identity = xml.find("<assemblyIdentity");
    EXPECT_GT(identity, xml.find("<dependentAssembly"));
    EXPECT_EQ(xml.find("<assemblyIdentity", identity + 1), std::string::npos);
    static const struct {
        const char *name, *value;
    } attributes[] = {
        {"type", "win32"},
        {"name", "Microsoft.Windows.Common-Controls"},
        {"version", "6.0.0.0"},
        {"processorArchitecture", "*"},
        {"publicKeyToken", "6595b64144ccf1df"},
        {"language", "*"},
    };
    for (const auto &a : attributes)
        EXPECT_EQ(Attribute(xml, "assemblyIdentity", a.name), a.value) << a.name;
    for (const char *absent : {"dpiAware", "dpiAwareness", "supportedOS", "<compatibility", "<application"})
        EXPECT_EQ(xml.find(absent), std::string::npos) << absent;
}

// ---------------------------------------------------------------------------
// Where the tests run

// An export of a loaded module, looked up at run time (through void (*)(),
// which converts to any function type without a warning).
template <typename Function> Function Export(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// This Windows' build number, RtlGetVersion's: this program has no manifest,
// so GetVersionEx would claim Windows 8 on anything newer.
DWORD WindowsBuild()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    Export<LONG(NTAPI *)(OSVERSIONINFOW *)>(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")(&version);
    return version.dwBuildNumber;
}

// Why a check of something only real Windows does cannot run here, or "" when
// it can: under Wine (underWine says what Wine does not do), or on a Windows
// older than the build from which the platform promises it (from names it).
// KRONVEL_TEST_UNDER_WINE=1 runs them under Wine too, to see them fail there.
std::string WhyNotHere(const char *underWine, DWORD firstBuild = 0, const char *from = "")
{
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr &&
        GetEnvironmentVariableW(L"KRONVEL_TEST_UNDER_WINE", nullptr, 0) == 0)
        return std::string("needs real Windows, skipped under Wine: ") + underWine;
    if (WindowsBuild() >= firstBuild)
        return "";
    return std::string("Windows promises this from ") + from + " (build " + std::to_string(firstBuild) +
           ") on; this is build " + std::to_string(WindowsBuild());
}

// ---------------------------------------------------------------------------
// The running program, driven from here

const DWORD WAIT_MS = 10000;

// Lets this thread's own windows take the messages sent to them.
void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

// Asks done() until it answers true or WAIT_MS have passed, this thread's
// windows taking their messages meanwhile; its last answer.
template <typename Done> bool WaitUntil(Done done)
{
    for (DWORD waited = 0;; waited += 20) {
        if (done())
            return true;
        if (waited >= WAIT_MS)
            return false;
        PumpMessages();
        Sleep(20);
    }
}

std::wstring TextOf(HWND window)
{
    TextBuffer text = L"";
    DWORD_PTR copied;
    SendMessageTimeoutW(window, WM_GETTEXT, TEXT_BUFFER_UNITS, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        WAIT_MS, &copied);
    return text;
}

struct FindWindowOf {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM lParam)
{
    FindWindowOf *search = reinterpret_cast<FindWindowOf *>(lParam);
    DWORD pid;
    WCHAR cls[32];
    GetWindowThreadProcessId(window, &pid);
    GetClassNameW(window, cls, 32);
    if (pid == search->pid && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

POINT Middle(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// A point of the dialog that no control covers: its client area's corner.
// (Its caption would do on Windows; under Wine the window manager's caption
// lies outside the window.)
POINT BareSpot(HWND hDlg)
{
    POINT at = {2, 2};
    ClientToScreen(hDlg, &at);
    return at;
}

// Why this session cannot click, or "" when it can. Without an interactive
// desktop (a service's session, a locked or disconnected one) the cursor
// cannot be placed or input cannot be sent; whether a click arrives is the
// test's own question.
std::string WhyNoMouse(POINT at)
{
    const std::string none = "no interactive desktop: ";
    if (!SetCursorPos(at.x, at.y))
        return none + "the cursor cannot be placed (SetCursorPos: error " + std::to_string(GetLastError()) + ")";
    POINT now = {-1, -1};
    if (!GetCursorPos(&now) || now.x != at.x || now.y != at.y)
        return none + "the cursor did not go where it was placed";
    INPUT still = {};
    still.type = INPUT_MOUSE;
    still.mi.dwFlags = MOUSEEVENTF_MOVE; // by (0, 0)
    if (SendInput(1, &still, sizeof still) != 1)
        return none + "input cannot be sent (SendInput: error " + std::to_string(GetLastError()) + ")";
    return "";
}

// A real click at a point of a window (or a control): the pointer there, the
// left button pressed and released, through the system's input queue. Its
// top-level window is raised above all others for it, without activating it,
// so that nothing else on the desktop takes the click; a click is input the
// foreground rules let move the foreground.
void Click(HWND window, POINT at)
{
    HWND top = GetAncestor(window, GA_ROOT);
    SetWindowPos(top, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(WindowFromPoint(at), window) << "something else is at (" << at.x << ", " << at.y << ")";
    ASSERT_TRUE(SetCursorPos(at.x, at.y));
    INPUT clicks[2] = {};
    clicks[0].type = clicks[1].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    EXPECT_EQ(SendInput(2, clicks, sizeof clicks[0]), 2u) << "error " << GetLastError();
    SetWindowPos(top, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// Whether a window is a control of the dialog, or a part of one (the list's
// edit field), that takes input: it and its parents up to the dialog enabled.
bool IsEnabledControl(HWND hDlg, HWND window)
{
    if (window == nullptr || window == hDlg || !IsChild(hDlg, window))
        return false;
    for (; window != hDlg; window = GetParent(window))
        if (!IsWindowEnabled(window))
            return false;
    return true;
}

std::string FocusName(HWND hDlg, HWND focus)
{
    if (focus == nullptr)
        return "nowhere";
    if (focus == hDlg)
        return "the dialog itself";
    if (!IsChild(hDlg, focus))
        return "a window not of the dialog";
    HWND control = GetParent(focus) == hDlg ? focus : GetParent(focus);
    return "control " + std::to_string(GetDlgCtrlID(control)) + (control == focus ? "" : " (inside it)") +
           (IsEnabledControl(hDlg, focus) ? "" : ", disabled");
}

// CB_GETMINVISIBLE, answered by a combo box made here: of version 5 of the
// common controls, user32's, since this program has no manifest; or of
// version 6, under kronvel.exe's own manifest activated around it. Only
// version 6 handles the message (its documentation asks for the manifest);
// version 5 leaves it to DefWindowProc, which answers 0.
LRESULT MinVisibleOfAComboBoxMadeHere(bool underKronvelsManifest)
{
    ACTCTXW manifest = {};
    manifest.cbSize = sizeof manifest;
    manifest.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    manifest.lpSource = g_exePath.c_str();
    manifest.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = underKronvelsManifest ? CreateActCtxW(&manifest) : INVALID_HANDLE_VALUE;
    ULONG_PTR cookie = 0;
    if (context != INVALID_HANDLE_VALUE) {
        ActivateActCtx(context, &cookie);
        // Under it, comctl32.dll is version 6, whose classes this registers.
        INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_STANDARD_CLASSES};
        Export<BOOL(WINAPI *)(const INITCOMMONCONTROLSEX *)>(LoadLibraryW(L"comctl32.dll"),
                                                             "InitCommonControlsEx")(&classes);
    }
    HWND combo = CreateWindowExW(0, L"ComboBox", L"", WS_POPUP | CBS_DROPDOWN, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    LRESULT answer = SendMessageW(combo, CB_GETMINVISIBLE, 0, 0);
    DestroyWindow(combo);
    if (context != INVALID_HANDLE_VALUE) {
        DeactivateActCtx(0, cookie);
        ReleaseActCtx(context);
    }
    return answer;
}

class Program : public testing::Test {
  protected:
    void SetUp() override
    {
        Start(g_exePath);
        ASSERT_NE(hDlg, nullptr) << WhyNoWindow();
    }
    // Starts the program at path and waits until it shows its window or ends.
    void Start(const std::wstring &path)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWNORMAL;
        std::wstring command = L"\"" + path + L"\"";
        ASSERT_TRUE(
            CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            << "cannot start " << Narrow(path) << ", error " << GetLastError();
        WaitForInputIdle(process.hProcess, WAIT_MS);
        FindWindowOf search = {process.dwProcessId, nullptr};
        WaitUntil([&] {
            EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
        });
        hDlg = search.found;
        button = GetDlgItem(hDlg, IDC_START_STOP);
        list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
    }
    std::string WhyNoWindow()
    {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code) && code != STILL_ACTIVE)
            return "the program ended with code 0x" + Hex(code) + " before it showed a window";
        return "no window appeared";
    }
    static std::string Hex(DWORD value)
    {
        char text[12];
        snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(value));
        return text;
    }
    // Ends the program, if it still runs, and lets its handles go.
    void End()
    {
        if (process.hProcess != nullptr && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, WAIT_MS);
        }
        if (process.hProcess != nullptr) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        process = {};
        hDlg = nullptr;
    }
    void TearDown() override { End(); }
    // What a click on a button sends its dialog: WM_COMMAND with the button's
    // id and BN_CLICKED. Unlike BM_CLICK, which the platform says may fail
    // while the dialog is not the active window, it does not depend on which
    // window is active.
    void Press(int id)
    {
        DWORD_PTR result;
        SendMessageTimeoutW(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(hDlg, id)),
                            SMTO_ABORTIFHUNG, WAIT_MS, &result);
    }
    // A key as the keyboard delivers it: down and up, to the window with the focus.
    void PressKey(HWND focus, WPARAM key)
    {
        PostMessageW(focus, WM_KEYDOWN, key, 0x00000001);
        PostMessageW(focus, WM_KEYUP, key, LPARAM(0xC0000001));
    }
    // Selects the list's item for n ms, as a user's choice does; false when
    // the list offers none.
    bool Choose(int n)
    {
        LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i)
            if (SendMessageW(list, CB_GETITEMDATA, WPARAM(i), 0) == n)
                return SendMessageW(list, CB_SETCURSEL, WPARAM(i), 0) == i;
        return false;
    }
    // Input arrives in its own time: the text of a window once it reads
    // expected, or whatever it reads when the wait ends.
    std::wstring TextOnceItReads(HWND window, const std::wstring &expected)
    {
        std::wstring text;
        WaitUntil([&] { return (text = TextOf(window)) == expected; });
        return text;
    }
    // The window with the keyboard focus in the program's thread: none while
    // the program is not the active one.
    HWND ProgramFocus()
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(process.dwThreadId, &info);
        return info.hwndFocus;
    }
    DWORD ExitCode()
    {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, WAIT_MS), WAIT_OBJECT_0) << "the program did not end";
        DWORD code = 12345;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION process = {};
    HWND hDlg = nullptr, button = nullptr, list = nullptr;
};

TEST_F(Program, ShowsTheReadoutAndTheChoicesOfThisSystem)
{
    EXPECT_EQ(TextOf(hDlg), L"Kronvel");

    // The readout, once refreshed, shows this system's reading with the
    // program's rounding. The period in force may move between two readings
    // (another process's request), so compare with a fresh one until they meet.
    HMODULE ntdll = BindTimerServices();
    std::wstring expected[3], shown[3];
    const int labels[3] = {IDC_MAX_PERIOD, IDC_MIN_PERIOD, IDC_CUR_PERIOD};
    ResolutionReading reading = {};
    WaitUntil([&] {
        reading = QueryResolution();
        const ULONG periods[3] = {reading.maxPeriod, reading.minPeriod, reading.curPeriod};
        bool same = true;
        for (int i = 0; i < 3; ++i) {
            TextBuffer text;
            FormatPeriodText(periods[i], text);
            expected[i] = text;
            shown[i] = TextOf(GetDlgItem(hDlg, labels[i]));
            same = same && shown[i] == expected[i];
        }
        return same;
    });
    UnbindTimerServices(ntdll);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(shown[i], expected[i]) << "label " << labels[i];

    PeriodChoices choices = PeriodChoiceRange(reading);
    ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), choices.hi - choices.lo + 1);
    for (int n = choices.hi; n >= choices.lo; --n) {
        int index = choices.hi - n;
        TextBuffer expectedText, itemText = L"";
        FormatChoiceText(n, expectedText);
        ASSERT_LT(SendMessageW(list, CB_GETLBTEXTLEN, WPARAM(index), 0), TEXT_BUFFER_UNITS);
        SendMessageW(list, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(itemText));
        EXPECT_STREQ(itemText, expectedText) << "item " << index;
        EXPECT_EQ(SendMessageW(list, CB_GETITEMDATA, WPARAM(index), 0), n) << "item " << index;
    }
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    TextBuffer first;
    FormatChoiceText(choices.hi, first);
    EXPECT_EQ(TextOf(list), first);
}

TEST_F(Program, StartAndStopSwitchTheButtonAndTheList)
{
    Press(IDC_START_STOP);
    EXPECT_EQ(TextOf(button), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(list));
    Press(IDC_START_STOP);
    EXPECT_EQ(TextOf(button), L"Start");
    EXPECT_TRUE(IsWindowEnabled(list));
    Press(IDCANCEL);
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, MouseClicksOnTheButtonsReachTheProgram)
{
    if (std::string why = WhyNoMouse(Middle(button)); !why.empty())
        GTEST_SKIP() << why;
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Stop"), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(list));
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start");
    HWND exitButton = GetDlgItem(hDlg, IDCANCEL);
    Click(exitButton, Middle(exitButton));
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, EscapeEndsTheProgramWithCodeZeroWhileARequestIsHeld)
{
    Press(IDC_START_STOP);
    ASSERT_EQ(TextOf(button), L"Stop");
    PostMessageW(GetDlgItem(hDlg, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, CloseBoxEndsTheProgramWithCodeZeroWhileARequestIsHeld)
{
    Press(IDC_START_STOP);
    ASSERT_EQ(TextOf(button), L"Stop");
    PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ExitCode(), 0u);
}

// The held-request check's readings, in 100 ns units as the timer counts: the
// period in force before Start, after Start (once it reached the target or the
// wait ended) and after Stop (once it rose above it or the wait ended), for the
// list's choice of n ms, where the shortest period is shortest.
struct HeldReadings {
    int choice;
    ULONG shortest, before, started, stopped;
};
enum class Verdict { Pass, Skip, Fail };
struct Judgement {
    Verdict verdict;
    std::string why;
};
const ULONG DISPLAY_UNIT = 10; // 0.001 ms, the readout's last digit

// The period a choice asks for: n ms, or for "0 ms" the shortest.
ULONG TargetOf(const HeldReadings &r)
{
    return r.choice == 0 ? r.shortest : ULONG(r.choice) * 10000;
}

// Whether the readings show the program's request held and withdrawn. The
// period in force is the shortest any process asks for, so a period already
// at the target says nothing; hardware periods (0.9766 ms, 0.997 ms) differ
// from what was asked, so the target is reached within a display unit.
Judgement JudgeHeldRequest(const HeldReadings &r)
{
    auto ms = [](ULONG period) {
        TextBuffer text;
        FormatPeriodText(period, text);
        return Narrow(text);
    };
    const ULONG target = TargetOf(r);
    if (r.choice == 0 && r.shortest >= 10000)
        return {Verdict::Skip, "the list offers no \"0 ms\" where the shortest period is " + ms(r.shortest)};
    if (r.before <= target + DISPLAY_UNIT)
        return {Verdict::Skip, "something else already held " + ms(r.before) + " before Start, at or below the " +
                                   ms(target) + " asked for"};
    if (r.started > target + DISPLAY_UNIT)
        return {Verdict::Fail, "after Start the period in force reached " + ms(r.started) + ", not " + ms(target)};
    if (r.stopped > target + DISPLAY_UNIT)
        return {Verdict::Pass, ""};
    if (r.started < target - target / 10)
        return {Verdict::Skip, "something else held " + ms(r.started) + ", below the " + ms(target) +
                                   " asked for, so the rise after Stop cannot be judged"};
    return {Verdict::Fail, "after Stop the period in force stayed at " + ms(r.stopped)};
}

TEST(HeldRequestJudgement, PassesOnlyARequestSeenHeldAndWithdrawn)
{
    static const struct {
        HeldReadings readings;
        Verdict verdict;
    } cases[] = {
        {{1, 5000, 156250, 10000, 156250}, Verdict::Pass},
        {{1, 5000, 156250, 9766, 20000}, Verdict::Pass},   // a hardware period; something else holds 2 ms
        {{0, 5000, 156250, 5000, 156250}, Verdict::Pass},  // "0 ms": the shortest
        {{1, 5000, 10000, 10000, 10000}, Verdict::Skip},   // already held
        {{1, 5000, 9766, 9766, 9766}, Verdict::Skip},      // already held, shorter
        {{0, 10000, 156250, 10000, 10000}, Verdict::Skip}, // no "0 ms" offered
        {{1, 5000, 156250, 5000, 5000}, Verdict::Skip},    // something shorter held meanwhile
        {{1, 5000, 156250, 156250, 156250}, Verdict::Fail}, // never reached
        {{1, 5000, 156250, 10020, 156250}, Verdict::Fail},  // two display units short
        {{0, 5000, 156250, 10000, 156250}, Verdict::Fail},  // "0 ms" held as 1 ms
        {{1, 5000, 156250, 10000, 10000}, Verdict::Fail},   // never fell back
    };
    for (const auto &c : cases) {
        const HeldReadings &r = c.readings;
        SCOPED_TRACE(testing::Message() << r.choice << " ms: shortest " << r.shortest << ", before " << r.before
                                        << ", started " << r.started << ", stopped " << r.stopped);
        Judgement judgement = JudgeHeldRequest(r);
        EXPECT_EQ(int(judgement.verdict), int(c.verdict)) << judgement.why;
        EXPECT_EQ(judgement.why.empty(), c.verdict == Verdict::Pass) << judgement.why;
    }
}

// The period the readout shows, read back as a number.
ULONG ShownPeriod(HWND label)
{
    return ULONG(wcstod(TextOf(label).c_str(), nullptr) * 10000 + 0.5);
}

// While the program holds a request, its own readout shows the period in force
// at the target; once it withdraws it, above.
TEST_F(Program, HeldRequestShowsInItsOwnReadout)
{
    if (std::string why = WhyNotHere("its timer requests change nothing"); !why.empty())
        GTEST_SKIP() << why;
    HWND current = GetDlgItem(hDlg, IDC_CUR_PERIOD);
    std::string skipped;
    for (int choice : {1, 0}) {
        SCOPED_TRACE(testing::Message() << "holding \"" << choice << " ms\"");
        HMODULE ntdll = BindTimerServices();
        ResolutionReading now = QueryResolution();
        UnbindTimerServices(ntdll);
        HeldReadings r = {choice, now.minPeriod, now.curPeriod, now.curPeriod, now.curPeriod};
        const ULONG target = TargetOf(r);
        // Judged as if it held and fell back: a skip now comes from what was
        // read before Start.
        if (JudgeHeldRequest({choice, r.shortest, r.before, 0, ULONG_MAX}).verdict != Verdict::Skip && Choose(choice)) {
            Press(IDC_START_STOP);
            WaitUntil([&] { return (r.started = ShownPeriod(current)) <= target + DISPLAY_UNIT; });
            Press(IDC_START_STOP);
            WaitUntil([&] { return (r.stopped = ShownPeriod(current)) > target + DISPLAY_UNIT; });
        }
        Judgement judgement = JudgeHeldRequest(r);
        if (judgement.verdict == Verdict::Fail)
            ADD_FAILURE() << judgement.why;
        if (judgement.verdict == Verdict::Skip)
            skipped += (skipped.empty() ? "" : "; ") + std::to_string(choice) + " ms: " + judgement.why;
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// A copy of the program alone in a fresh folder, beside a winmm.dll of zero
// bytes, as a planted DLL would lie beside it in a downloads folder. Loaded,
// it would stop the program before its window. The control: a copy whose
// DependentLoadFlags are zeroed, which that folder must stop.
class ProgramBesideAPlantedDll : public Program {
  protected:
    void SetUp() override
    {
        if (std::string why = WhyNotHere("its loader takes no DependentLoadFlags from the load configuration", 14393,
                                         "Windows 10 1607");
            !why.empty())
            GTEST_SKIP() << why;
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder =
            temp + (L"kronvel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << "error " << GetLastError();
        PeFile image(g_exePath);
        Write(L"\\kronvel.exe", image.bytes);
        size_t flags = image.DependentLoadFlagsOffset();
        image.bytes[flags] = image.bytes[flags + 1] = 0;
        Write(L"\\unflagged.exe", image.bytes);
        Write(L"\\winmm.dll", {});
        // A loader failure then ends the program without a message box.
        SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    }
    void Write(const wchar_t *name, const std::vector<char> &bytes)
    {
        std::ofstream out(Narrow(folder + name), std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        ASSERT_TRUE(out.flush()) << "cannot write " << Narrow(folder + name);
    }
    void TearDown() override
    {
        End(); // the program has ended, so its file can go
        if (folder.empty())
            return;
        // A virus scanner may still hold a file it has just seen.
        EXPECT_TRUE(WaitUntil([&] {
            for (const wchar_t *file : {L"\\kronvel.exe", L"\\unflagged.exe", L"\\winmm.dll"})
                DeleteFileW((folder + file).c_str());
            return RemoveDirectoryW(folder.c_str()) != FALSE;
        })) << "cannot remove " << Narrow(folder) << ", error " << GetLastError();
    }
    std::wstring folder;
};

TEST_F(ProgramBesideAPlantedDll, StartsWithItsImportsFromSystem32)
{
    Start(folder + L"\\unflagged.exe");
    if (hDlg != nullptr)
        GTEST_SKIP() << "without DependentLoadFlags the program starts beside a zero-byte winmm.dll all the same "
                        "here, so this Windows cannot judge the flags";
    DWORD code = ExitCode();
    EXPECT_GE(code, 0xC0000000u) << "the copy without DependentLoadFlags ended with 0x" << Hex(code)
                                 << ", not a loader status";
    End();
    Start(folder + L"\\kronvel.exe");
    ASSERT_NE(hDlg, nullptr) << WhyNoWindow();
    Press(IDCANCEL);
    EXPECT_EQ(ExitCode(), 0u);
}

// Windows 11 stops honouring the timer requests of a process whose windows are
// all hidden, unless it opts out: the program does, before its window exists.
TEST_F(Program, OptsOutOfTimerThrottlingWhileHidden)
{
    if (std::string why = WhyNotHere("its kernel32 has no GetProcessInformation", 22000, "Windows 11"); !why.empty())
        GTEST_SKIP() << why;
    struct {
        ULONG Version, ControlMask, StateMask; // PROCESS_POWER_THROTTLING_STATE
    } state = {1, 0, 0};
    const ULONG IGNORE_TIMER_RESOLUTION = 0x4; // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
    auto getProcessInformation =
        Export<BOOL(WINAPI *)(HANDLE, int, LPVOID, DWORD)>(GetModuleHandleW(L"kernel32.dll"), "GetProcessInformation");
    ASSERT_NE(getProcessInformation, nullptr);
    if (!getProcessInformation(process.hProcess, 4 /* ProcessPowerThrottling */, &state, sizeof state)) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER && WindowsBuild() < 22621)
            GTEST_SKIP() << "GetProcessInformation(ProcessPowerThrottling) fails with error 87 before Windows 11 22H2 "
                            "(build 22621); this is build "
                         << WindowsBuild();
        FAIL() << "GetProcessInformation(ProcessPowerThrottling): error " << error;
    }
    EXPECT_TRUE(state.ControlMask & IGNORE_TIMER_RESOLUTION) << "ControlMask 0x" << std::hex << state.ControlMask;
    EXPECT_FALSE(state.StateMask & IGNORE_TIMER_RESOLUTION) << "StateMask 0x" << std::hex << state.StateMask;
}

TEST_F(Program, ListIsOfCommonControls6)
{
    const LRESULT version5 = MinVisibleOfAComboBoxMadeHere(false), version6 = MinVisibleOfAComboBoxMadeHere(true);
    ASSERT_NE(version5, version6) << "CB_GETMINVISIBLE does not tell the versions apart here";
    EXPECT_EQ(SendMessageW(list, CB_GETMINVISIBLE, 0, 0), version6)
        << "expected version 6's answer (version 5's is " << version5 << ")";
}

// The program, and a window of this process's own to leave it for. The
// foreground moves between them by clicks, real input, which the foreground
// rules let move it wherever some other process's window (a console's, say)
// holds it.
class ProgramAndAnotherWindow : public Program {
  protected:
    void SetUp() override
    {
        Program::SetUp();
        RECT beside; // the program's window, for this one to lie beside it
        GetWindowRect(hDlg, &beside);
        other = CreateWindowExW(0, L"Static", L"Another window", WS_OVERLAPPEDWINDOW | WS_VISIBLE | SS_NOTIFY,
                                beside.right + 20, beside.top, 200, 100, nullptr, nullptr, GetModuleHandleW(nullptr),
                                nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(other);
        Program::TearDown();
    }
    // Clicks a window at a point and waits until it is the foreground window.
    void Activate(HWND window, POINT at)
    {
        SCOPED_TRACE(window == hDlg ? "a click on the program's window" : "a click on the other window");
        ASSERT_NO_FATAL_FAILURE(Click(window, at));
        ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == window; }))
            << "the foreground stayed with another window";
    }
    HWND other = nullptr;
};

// A start that arrives while the window is inactive finds no focus to move
// off the list; coming back, the window must not hand it to the disabled list.
TEST_F(ProgramAndAnotherWindow, StartWhileInactiveLeavesTheFocusOnAnEnabledControl)
{
    if (std::string why = WhyNoMouse(Middle(other)); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    SendMessageW(hDlg, WM_NEXTDLGCTL, WPARAM(list), TRUE); // where Tab puts it: the list's edit field
    ASSERT_TRUE(IsChild(list, ProgramFocus())) << "focus on " << FocusName(hDlg, ProgramFocus());
    ASSERT_NO_FATAL_FAILURE(Activate(other, Middle(other)));

    Press(IDC_START_STOP);
    ASSERT_EQ(TextOf(button), L"Stop");
    ASSERT_FALSE(IsWindowEnabled(list));
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    HWND focus = nullptr;
    WaitUntil([&] { return (focus = ProgramFocus()) != nullptr; });
    ASSERT_TRUE(IsEnabledControl(hDlg, focus))
        << "expected the focus on an enabled control, got it on " << FocusName(hDlg, focus);
    PressKey(focus, VK_RETURN);
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start") << "Enter did not stop the request";
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const std::string option = "--machine=";
        if (arg.compare(0, option.size(), option) != 0) {
            path = arg;
            continue;
        }
        for (const Machine &m : MACHINES)
            if (arg.substr(option.size()) == m.name)
                g_machine = &m;
    }
    if (argc != 3 || g_machine == nullptr || path.empty()) {
        fprintf(stderr, "usage: exe_tests --machine=x86|x64 PATH-TO-kronvel.exe [gtest options]\n");
        return 2;
    }
    // One full path for every check, whatever the current folder or the DLL
    // search order.
    std::wstring given(path.begin(), path.end());
    WCHAR full[MAX_PATH];
    DWORD length = GetFullPathNameW(given.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "exe_tests: cannot resolve %s (error %lu)\n", path.c_str(), GetLastError());
        return 2;
    }
    g_exePath = full;
    return RUN_ALL_TESTS();
}
