// How the program starts: its first show the one its launcher asks for, and
// its imports from System32, never from a DLL planted beside it.
#include "exe_tests.h"

namespace {

// The first show is the one the launcher asked for, at least minimised,
// maximised and normal. Where it asked for no activation the window must not
// take the foreground, which is judged only where a normal start takes it:
// the foreground rules may keep a program away from it (when its launcher is
// not in the foreground itself).
TEST_F(Program, FirstShowIsTheLaunchersChoice)
{
    static const struct {
        WORD show;
        const char *name;
        bool iconic, zoomed, activates;
    } shows[] = {
        {SW_SHOWNORMAL, "SW_SHOWNORMAL", false, false, true}, // first: it tells whether activation can be seen
        {SW_SHOWMINIMIZED, "SW_SHOWMINIMIZED", true, false, true},
        {SW_SHOWMAXIMIZED, "SW_SHOWMAXIMIZED", false, true, true},
        {SW_SHOWMINNOACTIVE, "SW_SHOWMINNOACTIVE", true, false, false}, // a shortcut's "Minimised"
        {SW_SHOWNOACTIVATE, "SW_SHOWNOACTIVATE", false, false, false},
        {SW_SHOWNA, "SW_SHOWNA", false, false, false},
    };
    bool activationSeen = false;
    for (const auto &s : shows) {
        SCOPED_TRACE(s.name);
        End();
        ASSERT_NO_FATAL_FAILURE(StartShown(g_exePath, s.show));
        DWORD_PTR done; // answered from its message loop, so after its first show
        SendMessageTimeoutW(hDlg, WM_NULL, 0, 0, SMTO_NORMAL, WAIT_MS, &done);
        EXPECT_EQ(IsIconic(hDlg) != FALSE, s.iconic);
        EXPECT_EQ(IsZoomed(hDlg) != FALSE, s.zoomed);
        if (s.show == SW_SHOWNORMAL) {
            activationSeen = WaitUntil([&] { return GetForegroundWindow() == hDlg; });
        } else if (!s.activates && activationSeen) {
            EXPECT_NE(GetForegroundWindow(), hDlg) << "the window took the foreground";
        }
    }
    if (!activationSeen)
        GTEST_SKIP() << "the show states were judged, but not the starts without activation: a normal start does "
                        "not take the foreground here either";
}

TEST_F(ProgramBesideAPlantedDll, StartsWithItsImportsFromSystem32)
{
    Start(folder + L"\\unflagged.exe");
    if (hDlg != nullptr)
        GTEST_SKIP() << "without DependentLoadFlags the program starts beside a zero-byte winmm.dll all the same "
                        "here, so this Windows cannot judge the flags";
    DWORD code = ExitCode();
    EXPECT_GE(code, 0xC0000000u) << "the copy without DependentLoadFlags ended with 0x" << std::hex << code
                                 << ", not a loader status";
    End();
    ASSERT_NO_FATAL_FAILURE(StartShown(folder + L"\\kronvel.exe"));
    PressButton(hDlg, IDCANCEL);
    EXPECT_EQ(ExitCode(), 0u);
}

} // namespace
