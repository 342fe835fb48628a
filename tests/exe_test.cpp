// The built kronvel.exe as users get it: its image headers and imports, its
// resources read back through the loader, and the program itself, started and
// driven from this process.
//
// Usage: exe_tests PATH-TO-kronvel.exe [gtest options]
#include "resource.h"
#include "timer_resolution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring g_exePath; // the program under test

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

class Image : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        std::ifstream in(Narrow(g_exePath), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    template <typename T> static const T *At(size_t offset)
    {
        if (offset + sizeof(T) > bytes.size())
            throw std::runtime_error("offset past the end of the file");
        return reinterpret_cast<const T *>(bytes.data() + offset);
    }
    static const IMAGE_NT_HEADERS32 *Headers()
    {
        return At<IMAGE_NT_HEADERS32>(size_t(At<IMAGE_DOS_HEADER>(0)->e_lfanew));
    }
    static size_t FileOffset(DWORD rva)
    {
        const IMAGE_NT_HEADERS32 *nt = Headers();
        const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        throw std::runtime_error("address in no section");
    }
    static std::string StringAt(DWORD rva) { return At<char>(FileOffset(rva)); }

    // Imported DLL (upper case) -> the names imported from it.
    static std::map<std::string, std::set<std::string>> Imports()
    {
        std::map<std::string, std::set<std::string>> imports;
        const IMAGE_DATA_DIRECTORY &dir = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (size_t offset = FileOffset(dir.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const IMAGE_IMPORT_DESCRIPTOR *d = At<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (d->Name == 0)
                break;
            std::set<std::string> &names = imports[Upper(StringAt(d->Name))];
            DWORD thunks = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
            for (size_t t = FileOffset(thunks); *At<DWORD>(t) != 0; t += 4) {
                DWORD entry = *At<DWORD>(t);
                names.insert(entry & IMAGE_ORDINAL_FLAG32 ? "#" + std::to_string(entry & 0xFFFF) : StringAt(entry + 2));
            }
        }
        return imports;
    }

    static std::vector<char> bytes;
};
std::vector<char> Image::bytes;

TEST_F(Image, IsA32BitGuiProgramForWindows60)
{
    ASSERT_GT(bytes.size(), 4096u) << "cannot read " << Narrow(g_exePath);
    const IMAGE_NT_HEADERS32 *nt = Headers();
    EXPECT_EQ(nt->Signature, DWORD(IMAGE_NT_SIGNATURE));
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(nt->OptionalHeader.MajorSubsystemVersion, 6);
    EXPECT_EQ(nt->OptionalHeader.MinorSubsystemVersion, 0);
    EXPECT_EQ(nt->OptionalHeader.MajorOperatingSystemVersion, 6);
    EXPECT_EQ(nt->OptionalHeader.MinorOperatingSystemVersion, 0);
}

TEST_F(Image, IsRelocatableNoExecuteCompatibleAndTerminalServerAware)
{
    const IMAGE_NT_HEADERS32 *nt = Headers();
    WORD dll = nt->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
    // Randomisation needs the relocations to be there.
    EXPECT_FALSE(nt->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 8u);
}

TEST_F(Image, HasNoExceptionHandlersAndIsMarkedSo)
{
    const IMAGE_NT_HEADERS32 *nt = Headers();
    EXPECT_TRUE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH);
    // Registering a handler on x86 means touching fs:[0], the head of the
    // thread's handler chain: no code in the image addresses it.
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
    // format's x86 offsets rather than through a header's structure, whose
    // field names and size differ between MinGW-w64 releases.
    const IMAGE_DATA_DIRECTORY &dir = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    ASSERT_EQ(dir.Size, 0x48u) << "no load configuration, or not the one the program defines";
    size_t config = FileOffset(dir.VirtualAddress);
    EXPECT_EQ(*At<DWORD>(config), dir.Size);                                                   // Size
    EXPECT_EQ(*At<WORD>(config + 0x36), 0x800) << "DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32";
    EXPECT_EQ(*At<DWORD>(config + 0x3C), 0u);                                                  // SecurityCookie
    EXPECT_EQ(*At<DWORD>(config + 0x40), 0u);                                                  // SEHandlerTable
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
    static void SetUpTestSuite() { module = LoadLibraryExW(g_exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE); }
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
// The running program, driven from here

const DWORD WAIT_MS = 10000;

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

class Program : public testing::Test {
  protected:
    void SetUp() override
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWNORMAL;
        std::wstring command = L"\"" + g_exePath + L"\"";
        ASSERT_TRUE(CreateProcessW(g_exePath.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process))
            << "cannot start " << Narrow(g_exePath) << ", error " << GetLastError();
        WaitForInputIdle(process.hProcess, WAIT_MS);
        FindWindowOf search = {process.dwProcessId, nullptr};
        for (DWORD waited = 0; search.found == nullptr && waited < WAIT_MS; waited += 50) {
            EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
            if (search.found == nullptr)
                Sleep(50);
        }
        hDlg = search.found;
        ASSERT_NE(hDlg, nullptr) << "no window appeared";
        button = GetDlgItem(hDlg, IDC_START_STOP);
        list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
    }
    void TearDown() override
    {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    void Click(HWND control)
    {
        DWORD_PTR result;
        SendMessageTimeoutW(control, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, WAIT_MS, &result);
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
    for (DWORD waited = 0; waited < WAIT_MS; waited += 20) {
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
        if (same)
            break;
        Sleep(20);
    }
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
    Click(button);
    EXPECT_EQ(TextOf(button), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(list));
    Click(button);
    EXPECT_EQ(TextOf(button), L"Start");
    EXPECT_TRUE(IsWindowEnabled(list));
    Click(GetDlgItem(hDlg, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, ExitButtonEndsTheProgramWithCodeZero)
{
    Click(GetDlgItem(hDlg, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, EscapeEndsTheProgramWithCodeZeroWhileARequestIsHeld)
{
    Click(button);
    ASSERT_EQ(TextOf(button), L"Stop");
    PostMessageW(GetDlgItem(hDlg, IDCANCEL), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(Program, CloseBoxEndsTheProgramWithCodeZeroWhileARequestIsHeld)
{
    Click(button);
    ASSERT_EQ(TextOf(button), L"Stop");
    PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ExitCode(), 0u);
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: exe_tests PATH-TO-kronvel.exe [gtest options]\n");
        return 2;
    }
    std::string path = argv[1];
    g_exePath.assign(path.begin(), path.end());
    return RUN_ALL_TESTS();
}
