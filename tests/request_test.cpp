// The Start/Stop button driving the held request, on the program's own dialog
// (its push button and editable drop-down list), with recording doubles behind
// the timer calls. The home of what Start and Stop do to the button, the list
// and the request.
#include "timer_doubles.h"
#include "windows_test.h"

namespace {

// Selects the item whose text is the given choice, as a user would.
void Select(HWND list, const wchar_t *choice, KV_CALLER)
{
    KV_TRACE_CALLER("Select");
    LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(choice));
    ASSERT_NE(index, CB_ERR) << "no item " << Narrow(choice);
    SendMessageW(list, CB_SETCURSEL, WPARAM(index), 0);
}

// The program's own dialog as Dialog opens it, with the log cleared after its
// reading.
class Request : public Dialog {
  protected:
    void SetUp() override
    {
        Dialog::SetUp();
        RecordedCalls().clear();
    }
    // The state after Start or Stop, and the calls logged so far.
    void ExpectIdle(const char *calls, KV_CALLER)
    {
        KV_TRACE_CALLER("ExpectIdle");
        EXPECT_EQ(RecordedCalls(), calls);
        EXPECT_EQ(WindowText(button), L"Start");
        EXPECT_TRUE(IsWindowEnabled(list));
        EXPECT_EQ(g_requestedPeriod, -1);
    }
    void ExpectHolding(int period, const char *calls, KV_CALLER)
    {
        KV_TRACE_CALLER("ExpectHolding");
        EXPECT_EQ(RecordedCalls(), calls);
        EXPECT_EQ(WindowText(button), L"Stop");
        EXPECT_FALSE(IsWindowEnabled(list));
        EXPECT_EQ(g_requestedPeriod, period);
    }
};

TEST_F(Request, MultimediaPeriodIsRequestedAndWithdrawnWithTheSameValue)
{
    Select(list, L"15 ms");
    OnStartStop(button, list);
    ExpectHolding(15, "timeBeginPeriod(15)");

    OnStartStop(button, list);
    ExpectIdle("timeBeginPeriod(15) timeEndPeriod(15)");
}

TEST_F(Request, ZeroHoldsTheKernelsShortestPeriodFromAFreshReadingEachWay)
{
    // Each query reports other bounds, so a stale reading would show.
    UseRecordingServices({{156250, 5000, 156250}, {150000, 4000, 5000}});
    Select(list, L"0 ms");
    OnStartStop(button, list);
    ExpectHolding(0, "Query Set(5000,1)");

    OnStartStop(button, list);
    ExpectIdle("Query Set(5000,1) Query Set(150000,0)");
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
        SCOPED_TRACE(testing::Message() << "caption \"" << Narrow(k.caption) << "\"");
        g_requestedPeriod = 7; // a held request, so that a stop shows in the log
        RecordedCalls().clear();
        Select(list, L"3 ms");
        SetWindowTextW(button, k.caption);
        OnStartStop(button, list);
        if (k.starts) {
            ExpectHolding(3, "timeBeginPeriod(3)");
        } else {
            ExpectIdle("timeEndPeriod(7)");
        }
    }
}

TEST_F(Request, StopWithNothingHeldCallsNothingButRestoresStart)
{
    SetWindowTextW(button, L"Stop");
    EnableWindow(list, FALSE);
    OnStartStop(button, list);
    ExpectIdle("");
}

TEST_F(Request, StartWithoutASelectionRequestsNothingAndStaysIdle)
{
    // No selection at all.
    SendMessageW(list, CB_SETCURSEL, WPARAM(-1), 0);
    OnStartStop(button, list);
    ExpectIdle("");

    // A reading with no choices (longest below shortest): an empty list.
    DestroyWindow(hDlg);
    Open({5000, 156250, 5000});
    ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), CB_ERR);
    RecordedCalls().clear();
    OnStartStop(button, list);
    ExpectIdle("");
}

TEST_F(Request, TypingInTheListsEditFieldClearsTheSelectionAndStartRequestsNothing)
{
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetComboBoxInfo(list, &info));
    Select(list, L"4 ms");
    for (wchar_t ch : std::wstring(L"x7")) // as typed: one character at a time
        SendMessageW(info.hwndItem, WM_CHAR, ch, 1);
    ASSERT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), CB_ERR) << "typing left a selection";

    OnStartStop(button, list);
    ExpectIdle("");
}

TEST_F(Request, SelectionSurvivesAStopAndTheNextStartUsesWhateverIsSelectedThen)
{
    Select(list, L"15 ms");
    OnStartStop(button, list);
    OnStartStop(button, list);
    EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    OnStartStop(button, list); // same selection again
    OnStartStop(button, list);
    Select(list, L"2 ms");
    OnStartStop(button, list);
    OnStartStop(button, list);
    EXPECT_EQ(RecordedCalls(), "timeBeginPeriod(15) timeEndPeriod(15) timeBeginPeriod(15) timeEndPeriod(15) "
                               "timeBeginPeriod(2) timeEndPeriod(2)");
}

} // namespace
