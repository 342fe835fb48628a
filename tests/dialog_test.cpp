// The dialog procedure on a real dialog made from the program's own template,
// with recording doubles in the timer slots.
#include "windows_test.h"

namespace {

TEST_F(Dialog, OpeningFillsTheListFromOneReadingAndSelectsTheLongestPeriod)
{
    EXPECT_EQ(RecordedCalls(), "Query");
    EXPECT_EQ(ListItems(list), ChoiceItems(15, 0));
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(WindowText(list), L"15 ms");
    // The labels keep the template's text until the first tick.
    EXPECT_EQ(Label(IDC_MAX_PERIOD), L"0 ms");
    EXPECT_EQ(Label(IDC_CUR_PERIOD), L"0 ms");
}

TEST_F(Dialog, RefreshTickWritesTheThreeReadoutTexts)
{
    UseRecordingServices({{156250, 5000, 9766}});
    EXPECT_EQ(MainDlgProc(hDlg, WM_TIMER, IDT_REFRESH, 0), TRUE);
    EXPECT_EQ(RecordedCalls(), "Query");
    EXPECT_EQ(Label(IDC_MAX_PERIOD), L"15.625 ms");
    EXPECT_EQ(Label(IDC_MIN_PERIOD), L"0.500 ms");
    EXPECT_EQ(Label(IDC_CUR_PERIOD), L"0.977 ms");
}

TEST_F(Dialog, OtherTicksAndTicksWithoutTheQueryServiceAreLeftAlone)
{
    static const struct {
        WPARAM id;
        bool queryService;
    } cases[] = {{1336, true}, {1338, true}, {0, true}, {IDT_REFRESH + 0x10000, true}, {IDT_REFRESH, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "timer " << c.id << (c.queryService ? "" : ", no query service"));
        UseRecordingServices({{156250, 5000, 10000}});
        if (!c.queryService)
            pNtQueryTimerResolution = nullptr;
        EXPECT_EQ(MainDlgProc(hDlg, WM_TIMER, c.id, 0), FALSE);
        EXPECT_EQ(RecordedCalls(), "");
        for (int id : {IDC_MAX_PERIOD, IDC_MIN_PERIOD, IDC_CUR_PERIOD})
            EXPECT_EQ(Label(id), L"0 ms") << "label " << id;
    }
}

TEST_F(Dialog, EveryCommandFromTheButtonIsAClickAndCommandsFromTheListAreNot)
{
    RecordedCalls().clear();
    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_PERIOD_LIST, CBN_SELCHANGE), LPARAM(list)), FALSE);
    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_PERIOD_LIST, CBN_DROPDOWN), LPARAM(list)), FALSE);
    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_MAX_PERIOD, 0), 0), FALSE);
    EXPECT_EQ(RecordedCalls(), "");

    // What Start and Stop then do is Request's to check: here, that both ran.
    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_START_STOP, BN_CLICKED), LPARAM(button)), TRUE);
    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_START_STOP, BN_SETFOCUS), LPARAM(button)), TRUE);
    EXPECT_EQ(RecordedCalls(), "timeBeginPeriod(15) timeEndPeriod(15)");
}

TEST_F(Dialog, ExitCommandClosesTheWindowAndQuitsWithoutWithdrawingAHeldRequest)
{
    SendMessageW(list, CB_SETCURSEL, 14, 0); // "1 ms"
    RecordedCalls().clear();
    MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_START_STOP, BN_CLICKED), LPARAM(button));
    ASSERT_EQ(g_requestedPeriod, 1);

    EXPECT_EQ(MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0), TRUE);
    EXPECT_FALSE(IsWindow(hDlg));
    EXPECT_TRUE(QuitPosted());
    EXPECT_EQ(RecordedCalls(), "timeBeginPeriod(1)");
    EXPECT_EQ(g_requestedPeriod, 1);
}

TEST_F(Dialog, EnterInTheListStartsAndTheFocusMovesToTheButtonThatStopsIt)
{
    // Shown, as the user's window is. (Destroying a shown window costs Wine
    // 2 s when no window manager answers, as under Xvfb.)
    ShowWindow(hDlg, SW_SHOW);
    SendMessageW(list, CB_SETCURSEL, 14, 0);               // "1 ms"
    SendMessageW(hDlg, WM_NEXTDLGCTL, WPARAM(list), TRUE); // where Tab puts it: the list's edit field
    ASSERT_TRUE(IsChild(list, GetFocus())) << "focus on " << FocusName(hDlg, GetFocus());
    RecordedCalls().clear();

    PressKey(GetFocus(), VK_RETURN, hDlg); // the default push button: Start, which disables the list
    EXPECT_EQ(GetFocus(), button) << "focus on " << FocusName(hDlg, GetFocus());
    PressKey(GetFocus(), VK_RETURN, hDlg); // now on the button with the focus: Stop
    PressKey(GetFocus(), VK_SPACE, hDlg);  // the focused button again: Start
    EXPECT_EQ(RecordedCalls(), "timeBeginPeriod(1) timeEndPeriod(1) timeBeginPeriod(1)");
}

TEST_F(Dialog, StartFromElsewhereLeavesTheFocusWhereItIs)
{
    ShowWindow(hDlg, SW_SHOW);
    HWND exitButton = GetDlgItem(hDlg, IDCANCEL);
    for (HWND focused : {button, exitButton}) {
        SendMessageW(hDlg, WM_NEXTDLGCTL, WPARAM(focused), TRUE);
        ASSERT_EQ(GetFocus(), focused);
        for (const wchar_t *caption : {L"Stop", L"Start"}) { // Start, then Stop
            MainDlgProc(hDlg, WM_COMMAND, MAKEWPARAM(IDC_START_STOP, BN_CLICKED), LPARAM(button));
            EXPECT_EQ(WindowText(button), caption);
            EXPECT_EQ(GetFocus(), focused) << "focus on " << FocusName(hDlg, GetFocus());
        }
    }
}

TEST_F(Dialog, TabVisitsStartExitAndTheListOnly)
{
    HWND expected[] = {button, GetDlgItem(hDlg, IDCANCEL), list, button};
    HWND at = button;
    for (int i = 1; i < 4; ++i) {
        at = GetNextDlgTabItem(hDlg, at, FALSE);
        // The list's tab stop may be reported as its edit field.
        HWND reached = GetParent(at) == list ? list : at;
        EXPECT_EQ(reached, expected[i]) << "tab " << i;
        at = reached;
    }
}

} // namespace
