// The running program's input: real clicks on its buttons, and the focus it
// gives back after a start that arrived while it was inactive.
#include "exe_tests.h"

namespace {

TEST_F(Program, MouseClicksOnTheButtonsReachTheProgram)
{
    KV_SKIP_IF(WhyNoMouse(Middle(button)));
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Stop"), L"Stop");
    EXPECT_FALSE(IsWindowEnabled(list));
    Click(button, Middle(button));
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start");
    EXPECT_TRUE(IsWindowEnabled(list));
    HWND exitButton = GetDlgItem(hDlg, IDCANCEL);
    Click(exitButton, Middle(exitButton));
    EXPECT_EQ(ExitCode(), 0u);
}

// A start that arrives while the window is inactive finds no focus to move
// off the list; coming back, the window must not hand it to the disabled list.
TEST_F(ProgramAndAnotherWindow, StartWhileInactiveLeavesTheFocusOnAnEnabledControl)
{
    KV_SKIP_IF(WhyNoMouse(Middle(other)));
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    SendMessageW(hDlg, WM_NEXTDLGCTL, WPARAM(list), TRUE); // where Tab puts it: the list's edit field
    ASSERT_TRUE(IsChild(list, ProgramFocus())) << "focus on " << FocusName(hDlg, ProgramFocus());
    ASSERT_NO_FATAL_FAILURE(Activate(other, Middle(other)));

    PressButton(hDlg, IDC_START_STOP);
    ASSERT_EQ(WindowText(button), L"Stop");
    ASSERT_FALSE(IsWindowEnabled(list));
    ASSERT_NO_FATAL_FAILURE(Activate(hDlg, BareSpot(hDlg)));
    // Activated, the dialog holds the focus itself for a moment before it
    // hands it to a control: judge where it lands.
    HWND focus = nullptr;
    WaitUntil([&] { return (focus = ProgramFocus()) != nullptr && focus != hDlg; });
    ASSERT_TRUE(IsEnabledControl(hDlg, focus))
        << "expected the focus on an enabled control, got it on " << FocusName(hDlg, focus);
    PressKey(focus, VK_RETURN);
    EXPECT_EQ(TextOnceItReads(button, L"Start"), L"Start") << "Enter did not stop the request";
}

} // namespace
