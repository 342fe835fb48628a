// How the program ends: by its Exit button, Escape or its close box.
#include "exe_tests.h"

namespace {

// Start and Stop switch the button and the list in the running program; each
// way of closing it then ends it with code 0, a request held or not.
TEST_F(Program, StartStopAndEveryWayOfClosingEndWithCodeZero)
{
    static const struct {
        const char *way;
        bool held;
        void (*close)(HWND dialog);
    } ways[] = {
        {"the Exit button", false, [](HWND dialog) { PressButton(dialog, IDCANCEL); }},
        {"Escape", true, [](HWND dialog) { PressKey(GetDlgItem(dialog, IDCANCEL), VK_ESCAPE); }},
        {"the close box", true, [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const auto &w : ways) {
        SCOPED_TRACE(w.way);
        if (hDlg == nullptr) { // the way before ended it
            ASSERT_NO_FATAL_FAILURE(StartShown());
        }
        PressButton(hDlg, IDC_START_STOP);
        ASSERT_EQ(WindowText(button), L"Stop");
        EXPECT_FALSE(IsWindowEnabled(list));
        if (!w.held) {
            PressButton(hDlg, IDC_START_STOP);
            EXPECT_EQ(WindowText(button), L"Start");
            EXPECT_TRUE(IsWindowEnabled(list));
        }
        w.close(hDlg);
        EXPECT_EQ(ExitCode(), 0u);
        End();
    }
}

} // namespace
