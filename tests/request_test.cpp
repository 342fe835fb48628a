// The Start/Stop button driving the held request, on a real push button and a
// real editable drop-down list, with recording doubles behind the timer calls.
#include "timer_doubles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const ResolutionReading WINE_LIKE = {156250, 5000, 10000};

// A top-level window holding the two controls, filled the way the main window
// fills its list: the text of each choice, and its value as item data.
struct Controls {
    HWND parent, button, list;
};

Controls MakeControls(int hi, int lo)
{
    Controls c;
    c.parent = CreateWindowExW(0, L"Static", L"request test", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                               nullptr, nullptr);
    c.button = CreateWindowExW(0, L"Button", L"Start", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 10, 120,
                               75, 23, c.parent, nullptr, nullptr, nullptr);
    c.list = CreateWindowExW(0, L"ComboBox", L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN, 120,
                             80, 120, 100, c.parent, nullptr, nullptr, nullptr);
    for (int n = hi; n >= lo; --n) {
        TextBuffer text;
        FormatChoiceText(n, text);
        SendMessageW(c.list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        SendMessageW(c.list, CB_SETITEMDATA, WPARAM(SendMessageW(c.list, CB_GETCOUNT, 0, 0) - 1), n);
    }
    SendMessageW(c.list, CB_SETCURSEL, 0, 0);
    return c;
}

std::wstring Caption(HWND button)
{
    TextBuffer text;
    GetWindowTextW(button, text, TEXT_BUFFER_UNITS);
    return text;
}

// Selects the item whose text is the given choice, as a user would.
void Select(HWND list, const wchar_t *choice)
{
    LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(choice));
    ASSERT_NE(index, CB_ERR) << "no item " << std::string(choice, choice + wcslen(choice));
    SendMessageW(list, CB_SETCURSEL, WPARAM(index), 0);
}

class Request : public testing::Test {
  protected:
    void SetUp() override
    {
        g_requestedPeriod = -1;
        UseRecordingServices({WINE_LIKE});
        c = MakeControls(15, 0);
    }
    void TearDown() override
    {
        DestroyWindow(c.parent);
        pNtQueryTimerResolution = nullptr;
        pNtSetTimerResolution = nullptr;
        g_requestedPeriod = -1;
    }
    void ExpectIdle()
    {
        EXPECT_EQ(Caption(c.button), L"Start");
        EXPECT_TRUE(IsWindowEnabled(c.list));
        EXPECT_EQ(g_requestedPeriod, -1);
    }
    void ExpectHolding(int period)
    {
        EXPECT_EQ(Caption(c.button), L"Stop");
        EXPECT_FALSE(IsWindowEnabled(c.list));
        EXPECT_EQ(g_requestedPeriod, period);
    }
    Controls c;
};

TEST_F(Request, MultimediaPeriodIsRequestedAndWithdrawnWithTheSameValue)
{
    Select(c.list, L"15 ms");
    OnStartStop(c.button, c.list);
    ExpectHolding(15);
    EXPECT_EQ(Describe(RecordedCalls()), Describe({BeginCall(15)}));

    OnStartStop(c.button, c.list);
    ExpectIdle();
    EXPECT_EQ(Describe(RecordedCalls()), Describe({BeginCall(15), EndCall(15)}));
}

TEST_F(Request, ZeroHoldsTheKernelsShortestPeriodFromAFreshReadingEachWay)
{
    // Each query reports other bounds, so a stale reading would show.
    UseRecordingServices({{156250, 5000, 156250}, {150000, 4000, 5000}});
    Select(c.list, L"0 ms");
    OnStartStop(c.button, c.list);
    ExpectHolding(0);
    EXPECT_EQ(Describe(RecordedCalls()), Describe({QueryCall(), SetCall(5000, TRUE)}));

    OnStartStop(c.button, c.list);
    ExpectIdle();
    EXPECT_EQ(Describe(RecordedCalls()),
              Describe({QueryCall(), SetCall(5000, TRUE), QueryCall(), SetCall(150000, FALSE)}));
}

TEST_F(Request, OnlyTheExactCaptionStartStarts)
{
    static const struct {
        const wchar_t *caption;
        bool starts;
    } cases[] = {
        {L"Start", true}, {L"Start ", false}, {L"start", false},     {L"Star", false},
        {L"Stop", false}, {L"", false},       {L"StartStop", false},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(testing::Message() << "caption \"" << std::string(k.caption, k.caption + wcslen(k.caption))
                                        << "\"");
        g_requestedPeriod = 7; // a held request, so that a stop shows in the log
        RecordedCalls().clear();
        Select(c.list, L"3 ms");
        SetWindowTextW(c.button, k.caption);
        OnStartStop(c.button, c.list);
        if (k.starts) {
            EXPECT_EQ(Describe(RecordedCalls()), Describe({BeginCall(3)}));
            ExpectHolding(3);
        } else {
            EXPECT_EQ(Describe(RecordedCalls()), Describe({EndCall(7)}));
            ExpectIdle();
        }
    }
}

TEST_F(Request, StopWithNothingHeldCallsNothingButRestoresStart)
{
    SetWindowTextW(c.button, L"Stop");
    EnableWindow(c.list, FALSE);
    OnStartStop(c.button, c.list);
    EXPECT_EQ(Describe(RecordedCalls()), "(no calls)");
    ExpectIdle();
}

TEST_F(Request, StartWithoutASelectionRequestsNothingAndStaysIdle)
{
    // No selection at all.
    SendMessageW(c.list, CB_SETCURSEL, WPARAM(-1), 0);
    OnStartStop(c.button, c.list);
    EXPECT_EQ(Describe(RecordedCalls()), "(no calls)");
    ExpectIdle();

    // An empty list.
    Controls empty = MakeControls(0, 1);
    ASSERT_EQ(SendMessageW(empty.list, CB_GETCOUNT, 0, 0), 0);
    OnStartStop(empty.button, empty.list);
    EXPECT_EQ(Describe(RecordedCalls()), "(no calls)");
    EXPECT_EQ(Caption(empty.button), L"Start");
    EXPECT_TRUE(IsWindowEnabled(empty.list));
    EXPECT_EQ(g_requestedPeriod, -1);
    DestroyWindow(empty.parent);
}

TEST_F(Request, TypingInTheListsEditFieldClearsTheSelectionAndStartRequestsNothing)
{
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetComboBoxInfo(c.list, &info));
    Select(c.list, L"4 ms");
    for (wchar_t ch : std::wstring(L"x7")) // as typed: one character at a time
        SendMessageW(info.hwndItem, WM_CHAR, ch, 1);
    ASSERT_EQ(SendMessageW(c.list, CB_GETCURSEL, 0, 0), CB_ERR) << "typing left a selection";

    OnStartStop(c.button, c.list);
    EXPECT_EQ(Describe(RecordedCalls()), "(no calls)");
    ExpectIdle();
}

TEST_F(Request, SelectionSurvivesAStopAndTheNextStartUsesWhateverIsSelectedThen)
{
    Select(c.list, L"15 ms");
    OnStartStop(c.button, c.list);
    OnStartStop(c.button, c.list);
    EXPECT_EQ(SendMessageW(c.list, CB_GETCURSEL, 0, 0), 0);
    OnStartStop(c.button, c.list); // same selection again
    OnStartStop(c.button, c.list);
    Select(c.list, L"2 ms");
    OnStartStop(c.button, c.list);
    OnStartStop(c.button, c.list);
    EXPECT_EQ(Describe(RecordedCalls()),
              Describe({BeginCall(15), EndCall(15), BeginCall(15), EndCall(15), BeginCall(2), EndCall(2)}));
}

} // namespace
