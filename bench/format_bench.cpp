// Times the readout formatting, FormatPeriodText, against the C runtime's
// swprintf "%.3f ms" on the same periods. Prints ns per text (minimum and
// median of several rounds) and the ratio swprintf / FormatPeriodText:
// above 1 means FormatPeriodText is the faster.
//
// swprintf here is the C runtime as a C++ program sees it. With MinGW-w64
// and libstdc++, __USE_MINGW_ANSI_STDIO is on, so that is MinGW's own printf
// family (__mingw_vsnwprintf, linked statically), not msvcrt.dll's. msvcrt's
// _snwprintf is timed as well, for comparison; under Wine it is Wine's msvcrt.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "timer_resolution.h"

namespace {

const int ROUNDS = 15;         // timed rounds per formatter; min and median reported
const int SPREAD_COUNT = 4096; // pseudo-random periods in the broad set
const LONGLONG TEXTS_PER_ROUND = 200000;

volatile unsigned g_sink; // two units of every text, so that no call can be dropped

typedef void (*FormatFn)(ULONG period, TextBuffer buffer);

void FormatOwn(ULONG period, TextBuffer buffer)
{
    FormatPeriodText(period, buffer);
}

void FormatSwprintf(ULONG period, TextBuffer buffer)
{
    swprintf(buffer, TEXT_BUFFER_UNITS, L"%.3f ms", period / 10000.0);
}

void FormatMsvcrt(ULONG period, TextBuffer buffer)
{
    _snwprintf(buffer, TEXT_BUFFER_UNITS, L"%.3f ms", period / 10000.0);
}

double Seconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

// One round: TEXTS_PER_ROUND texts, cycling through the periods. Returns ns per text.
double TimeRound(FormatFn format, const ULONG *periods, int count)
{
    TextBuffer text;
    unsigned sum = 0;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int i = 0;
    for (LONGLONG n = 0; n < TEXTS_PER_ROUND; ++n) {
        format(periods[i], text);
        sum += text[0] + text[5];
        if (++i == count)
            i = 0;
    }
    QueryPerformanceCounter(&end);
    g_sink = g_sink + sum;
    return Seconds(end.QuadPart - start.QuadPart) * 1e9 / static_cast<double>(TEXTS_PER_ROUND);
}

struct Summary {
    double min;
    double median;
};

Summary Summarise(double *times)
{
    std::sort(times, times + ROUNDS);
    Summary s = {times[0], times[ROUNDS / 2]};
    return s;
}

// Texts on which two formatters disagree (ties and conversion differences).
int CountDifferences(FormatFn a, FormatFn b, const ULONG *periods, int count)
{
    int differ = 0;
    for (int i = 0; i < count; ++i) {
        TextBuffer x, y;
        a(periods[i], x);
        b(periods[i], y);
        if (wcscmp(x, y) != 0)
            ++differ;
    }
    return differ;
}

void RunSet(const char *name, const ULONG *periods, int count)
{
    const FormatFn formats[3] = {FormatOwn, FormatSwprintf, FormatMsvcrt};
    double times[3][ROUNDS];
    // Rounds interleaved, so that a burst of other load hits all three alike.
    for (int r = 0; r < ROUNDS; ++r)
        for (int f = 0; f < 3; ++f)
            times[f][r] = TimeRound(formats[f], periods, count);
    Summary own = Summarise(times[0]);
    Summary crt = Summarise(times[1]);
    Summary ms = Summarise(times[2]);
    std::printf("%s (%d periods, %d rounds of %lld texts)\n", name, count, ROUNDS, TEXTS_PER_ROUND);
    std::printf("  %-30s %8.1f ns/text min %8.1f median\n", "FormatPeriodText", own.min, own.median);
    std::printf("  %-30s %8.1f ns/text min %8.1f median\n", "swprintf (MinGW, static)", crt.min, crt.median);
    std::printf("  %-30s %8.1f ns/text min %8.1f median\n", "_snwprintf (msvcrt.dll)", ms.min, ms.median);
    std::printf("  ratio swprintf / FormatPeriodText:   %.2f (min)  %.2f (median)\n", crt.min / own.min,
                crt.median / own.median);
    std::printf("  ratio _snwprintf / FormatPeriodText: %.2f (min)  %.2f (median)\n", ms.min / own.min,
                ms.median / own.median);
    std::printf("  texts differing from FormatPeriodText: swprintf %d, _snwprintf %d of %d\n",
                CountDifferences(FormatOwn, FormatSwprintf, periods, count),
                CountDifferences(FormatOwn, FormatMsvcrt, periods, count), count);
}

} // namespace

int main()
{
    // What Windows and Wine report: 15.625, 0.5 and 1 ms, and a 1024 Hz period.
    static const ULONG typical[4] = {156250, 5000, 10000, 9766};

    // Broad spread from xorshift32: half any 32-bit period, half below 20 ms
    // (200000 units), where real periods lie.
    static ULONG spread[SPREAD_COUNT];
    ULONG x = 2463534242u;
    for (int i = 0; i < SPREAD_COUNT; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        spread[i] = i % 2 == 0 ? x : x % 200000u;
    }

    RunSet("typical", typical, 4);
    RunSet("spread", spread, SPREAD_COUNT);
    std::printf("(checksum %u)\n", g_sink);
    return 0;
}
