// The fixtures and helpers of exe_tests (exe_tests.cpp): the program started
// as a launcher starts it, alone or under the probe, beside a planted DLL or
// beside another window of this process; and real clicks. Helpers that can
// fail name their caller's line.
#pragma once

#include "probe.h"
#include "resource.h"
#include "windows_test.h"

#include <dbghelp.h>

#include <cstring>
#include <fstream>
#include <iterator>

inline std::wstring g_exePath; // the program under test, by its full path

// This Windows' build number, RtlGetVersion's: this program has no manifest,
// so GetVersionEx would claim Windows 8 on anything newer.
inline DWORD WindowsBuild()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    Export<LONG(NTAPI *)(OSVERSIONINFOW *)>(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")(&version);
    return version.dwBuildNumber;
}

// Skips the test, saying why, where a reason is given ("": none).
#define KV_SKIP_IF(reason)                                                                                             \
    if (std::string kvWhy = (reason); !kvWhy.empty())                                                                  \
    GTEST_SKIP() << kvWhy

// Why a check of something only real Windows does cannot run here, or "" when
// it can: under Wine (underWine says what Wine does not do), or on a Windows
// older than the build from which the platform promises it (from names it).
// KRONVEL_TEST_UNDER_WINE=1 runs them under Wine too, to see them fail there.
inline std::string WhyNotHere(const char *underWine, DWORD firstBuild = 0, const char *from = "")
{
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr &&
        GetEnvironmentVariableW(L"KRONVEL_TEST_UNDER_WINE", nullptr, 0) == 0)
        return std::string("needs real Windows, skipped under Wine: ") + underWine;
    if (WindowsBuild() >= firstBuild)
        return "";
    return std::string("Windows promises this from ") + from + " (build " + std::to_string(firstBuild) +
           ") on; this is build " + std::to_string(WindowsBuild());
}

// The middle of a window, on the screen.
inline POINT Middle(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// A point of the dialog that no control covers: its client area's corner.
// (Its caption would do on Windows; under Wine the window manager's caption
// lies outside the window.)
inline POINT BareSpot(HWND hDlg)
{
    POINT at = {2, 2};
    ClientToScreen(hDlg, &at);
    return at;
}

// Why this session cannot click, or "" when it can. Without an interactive
// desktop (a service's session, a locked or disconnected one) the cursor
// cannot be placed or input cannot be sent; whether a click arrives is the
// test's own question.
inline std::string WhyNoMouse(POINT at)
{
    const std::string none = "no interactive desktop: ";
    if (!SetCursorPos(at.x, at.y))
        return none + "the cursor cannot be placed (SetCursorPos: error " + std::to_string(GetLastError()) + ")";
    // Placed again while it reads elsewhere: another program may report an
    // earlier position meanwhile (see Click).
    if (!WaitUntil([&] {
            POINT now = {-1, -1};
            if (GetCursorPos(&now) && now.x == at.x && now.y == at.y)
                return true;
            SetCursorPos(at.x, at.y);
            return false;
        }))
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
inline void Click(HWND window, POINT at, KV_CALLER)
{
    KV_TRACE_CALLER("Click");
    HWND top = GetAncestor(window, GA_ROOT);
    SetWindowPos(top, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_EQ(WindowFromPoint(at), window) << "something else is at (" << at.x << ", " << at.y << ")";
    // Each press carries its point, on the primary monitor's scale of 65536:
    // a pointer placed first, then pressed, may be taken elsewhere meanwhile
    // (under Wine, by another program's window that reports the pointer's
    // earlier position when it gets round to it).
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT clicks[2] = {};
    for (INPUT &click : clicks) {
        click.type = INPUT_MOUSE;
        click.mi.dx = (at.x * 65536 + width - 1) / width;
        click.mi.dy = (at.y * 65536 + height - 1) / height;
    }
    clicks[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTUP;
    EXPECT_EQ(SendInput(2, clicks, sizeof clicks[0]), 2u) << "error " << GetLastError();
    SetWindowPos(top, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// kronvel.exe, started for each test as a launcher starts it and ended after.
class Program : public testing::Test {
  protected:
    void SetUp() override { StartShown(); }
    // Starts the program at path, shown as a launcher asks (a shortcut's
    // "Run" setting), and waits until it shows its window or ends.
    void Start(const std::wstring &path, WORD show = SW_SHOWNORMAL, KV_CALLER)
    {
        KV_TRACE_CALLER("Start");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = show;
        std::wstring command = L"\"" + path + L"\"";
        ASSERT_TRUE(
            CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            << "cannot start " << Narrow(path) << ", error " << GetLastError();
        WaitForInputIdle(process.hProcess, WAIT_MS);
        WaitUntil([&] { // its dialog, visible, or its end
            DWORD pid = 0;
            for (hDlg = nullptr; (hDlg = FindWindowExW(nullptr, hDlg, L"#32770", nullptr)) != nullptr;)
                if (GetWindowThreadProcessId(hDlg, &pid) && pid == process.dwProcessId && IsWindowVisible(hDlg))
                    return true;
            return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
        });
        button = GetDlgItem(hDlg, IDC_START_STOP);
        list = GetDlgItem(hDlg, IDC_PERIOD_LIST);
    }
    // Starts the program as Start does, and fails where it shows no window.
    void StartShown(const std::wstring &path = g_exePath, WORD show = SW_SHOWNORMAL, KV_CALLER)
    {
        KV_TRACE_CALLER("StartShown");
        Start(path, show);
        ASSERT_NE(hDlg, nullptr) << WhyNoWindow();
    }
    std::string WhyNoWindow()
    {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code) && code != STILL_ACTIVE)
            return (testing::Message() << "the program ended with code 0x" << std::hex << code
                                       << " before it showed a window")
                .GetString();
        return "no window appeared";
    }
    // Ends the program, if it still runs, and lets its handles go.
    void End()
    {
        if (process.hProcess != nullptr) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, WAIT_MS);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        process = {};
        hDlg = nullptr;
    }
    void TearDown() override { End(); }
    // Selects the list's item for n ms, as a user's choice does; false when
    // the list offers none.
    bool Choose(int n)
    {
        for (LRESULT i = 0, count = SendMessageW(list, CB_GETCOUNT, 0, 0); i < count; ++i)
            if (SendMessageW(list, CB_GETITEMDATA, WPARAM(i), 0) == n)
                return SendMessageW(list, CB_SETCURSEL, WPARAM(i), 0) == i;
        return false;
    }
    // Input arrives in its own time: the text of a window once it reads
    // expected, or whatever it reads when the wait ends.
    std::wstring TextOnceItReads(HWND window, const std::wstring &expected)
    {
        std::wstring text;
        WaitUntil([&] { return (text = WindowText(window)) == expected; });
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
    DWORD ExitCode(KV_CALLER)
    {
        KV_TRACE_CALLER("ExitCode");
        EXPECT_EQ(WaitForSingleObject(process.hProcess, WAIT_MS), WAIT_OBJECT_0) << "the program did not end";
        DWORD code = 12345;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION process = {};
    HWND hDlg = nullptr, button = nullptr, list = nullptr;
};

// What the probe tells this thread's hidden window of its class: the message
// times of the program's refresh ticks, and of the probe's own timer's.
inline std::vector<DWORD> g_tickTimes, g_referenceTimes;
inline int g_iconSlots = -1; // unanswered; or bit 0, the small slot filled, bit 1, the big one

inline LRESULT CALLBACK TakeFromProbe(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PROBE_TICK)
        (wParam == PROBE_REFERENCE ? g_referenceTimes : g_tickTimes).push_back(DWORD(lParam));
    if (message == PROBE_ICONS)
        g_iconSlots = (wParam ? 1 : 0) | (lParam ? 2 : 0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// The program with the probe (probe.cpp) hooked into its thread. The probe
// travels in this program's resources, and is written to a file of its own
// for the program to load.
class ProgramUnderProbe : public Program {
  protected:
    void SetUp() override
    {
        Program::SetUp();
        HRSRC probe = FindResourceW(nullptr, L"PROBE", RT_RCDATA);
        ASSERT_NE(probe, nullptr);
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = temp + (L"kronvel-probe-" + std::to_wstring(GetCurrentProcessId()) + L".dll");
        std::ofstream(Narrow(path), std::ios::binary)
            .write(static_cast<const char *>(LockResource(LoadResource(nullptr, probe))),
                   std::streamsize(SizeofResource(nullptr, probe)));
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = TakeFromProbe;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = PROBE_CLASS;
        RegisterClassW(&windowClass); // or registered already, by an earlier test
        window = CreateWindowExW(0, PROBE_CLASS, L"", 0, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
        dll = LoadLibraryW(path.c_str());
        ASSERT_NE(dll, nullptr) << "cannot load " << Narrow(path) << ", error " << GetLastError();
        hook = SetWindowsHookExW(WH_GETMESSAGE, Export<HOOKPROC>(dll, "ProbeHook"), dll, process.dwThreadId);
        ASSERT_NE(hook, nullptr) << "error " << GetLastError();
        g_tickTimes.clear();
        g_referenceTimes.clear();
        g_iconSlots = -1;
    }
    void TearDown() override
    {
        // Each of these lets a null handle pass, where SetUp stopped early.
        UnhookWindowsHookEx(hook);
        End(); // the program has ended, so the file can go
        DestroyWindow(window);
        FreeLibrary(dll);
        DeleteFileW(path.c_str());
    }
    std::wstring path;
    HWND window = nullptr;
    HMODULE dll = nullptr;
    HHOOK hook = nullptr;
};

// A copy of the program alone in a fresh folder, beside a winmm.dll of zero
// bytes, as a planted DLL would lie beside it in a downloads folder. Loaded,
// it would stop the program before its window. The control: a copy whose
// DependentLoadFlags are zeroed, which that folder must stop.
class ProgramBesideAPlantedDll : public Program {
  protected:
    void SetUp() override
    {
        KV_SKIP_IF(
            WhyNotHere("its loader takes no DependentLoadFlags from the load configuration", 14393, "Windows 10 1607"));
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder =
            temp + (L"kronvel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << "error " << GetLastError();
        std::ifstream in(Narrow(g_exePath), std::ios::binary);
        std::vector<char> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Write(L"\\kronvel.exe", image);
        // The load configuration where the image helper finds it in the file;
        // DependentLoadFlags follows CSDVersion (MinGW-w64's headers named it
        // Reserved1 before release 13).
        ULONG size = 0;
        auto *config = static_cast<IMAGE_LOAD_CONFIG_DIRECTORY *>(
            ImageDirectoryEntryToData(image.data(), FALSE, IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG, &size));
        ASSERT_NE(config, nullptr) << "no load configuration in " << Narrow(g_exePath);
        memset(&config->CSDVersion + 1, 0, sizeof(WORD));
        Write(L"\\unflagged.exe", image);
        Write(L"\\winmm.dll", {});
        // A loader failure then ends the program without a message box.
        SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    }
    void Write(const wchar_t *name, const std::vector<char> &bytes, KV_CALLER)
    {
        KV_TRACE_CALLER("Write");
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
        })) << "cannot remove "
            << Narrow(folder) << ", error " << GetLastError();
    }
    std::wstring folder;
};

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
    void Activate(HWND window, POINT at, KV_CALLER)
    {
        KV_TRACE_CALLER(window == hDlg ? "Activate: the program's window" : "Activate: the other window");
        ASSERT_NO_FATAL_FAILURE(Click(window, at));
        ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == window; }))
            << "the foreground stayed with another window";
    }
    HWND other = nullptr;
};
