// kronvel.exe's resources, read back through the loader: exactly the dialog,
// icons, manifest and layout record, each as the program means it.
#include "resource.h"
#include "windows_test.h"

#include <cstring>

namespace {

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

    static inline HMODULE module;
};

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
    std::string attributes;
    for (const char *name : {"type", "name", "version", "processorArchitecture", "publicKeyToken", "language"})
        attributes += std::string(name) + "=" + Attribute(xml, "assemblyIdentity", name) + " ";
    EXPECT_EQ(attributes, "type=win32 name=Microsoft.Windows.Common-Controls version=6.0.0.0 processorArchitecture=* "
                          "publicKeyToken=6595b64144ccf1df language=* ");
    for (const char *absent : {"dpiAware", "dpiAwareness", "supportedOS", "<compatibility", "<application"})
        EXPECT_EQ(xml.find(absent), std::string::npos) << absent;
}

} // namespace
