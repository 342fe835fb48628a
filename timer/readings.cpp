// Readings as the window shows them: readout texts and request choices.
//
// The readout is formatted here rather than by the C runtime's "%.3f": the
// runtimes Windows programs meet disagree on ties (15625 is "1.562" with one,
// "1.563" with another) and some convert through too few significant digits.
// The rule below is the program's own and holds for every 32-bit period.
#include "timer_resolution.h"

namespace {

const ULONG PERIODS_PER_MS = 10000; // 100-ns units in a millisecond

// The period in milliseconds, rounded to whole thousandths: to the nearest,
// and up when the double's exact value lies halfway. Worked out in integers:
// the x87 unit of a 32-bit program divides in whatever precision the runtime
// has set, and a division rounded twice can land on another double.
ULONG RoundedThousandths(ULONG period)
{
    if (period == 0)
        return 0;
    // The double nearest period / 10000 = (period / 625) / 2^4 is
    // mantissa / 2^(t + 4), with the 53-bit mantissa the nearest integer to
    // period * 2^t / 625; 625 is odd, so that division never ties.
    int t = 0;
    while ((static_cast<ULONGLONG>(period) << t) < 625ull << 52)
        ++t;
    ULONGLONG numerator = static_cast<ULONGLONG>(period) << t; // below 625 * 2^53 < 2^63
    ULONGLONG mantissa = numerator / 625;
    if (2 * (numerator % 625) > 625)
        ++mantissa;
    int shift = t + 4;
    if (mantissa == 1ull << 53) {
        mantissa >>= 1;
        --shift;
    }
    // Thousandths of mantissa / 2^shift. The value is below 2^19, so shift
    // is at least 34, and 1000 * mantissa < 2^63 is exact.
    ULONGLONG scaled = mantissa * 1000;
    if (shift >= 64)
        return 0; // scaled / 2^shift < 1/2
    ULONGLONG whole = scaled >> shift;
    ULONGLONG rest = scaled - (whole << shift);
    ULONGLONG half = 1ull << (shift - 1);
    return static_cast<ULONG>(rest >= half ? whole + 1 : whole);
}

// Appends text at *pos, always leaving room for the terminating zero.
void Append(TextBuffer buffer, int *pos, const WCHAR *text)
{
    while (*text != L'\0' && *pos < TEXT_BUFFER_UNITS - 1)
        buffer[(*pos)++] = *text++;
    buffer[*pos] = L'\0';
}

// Appends value in decimal, at least minDigits digits long.
void AppendDecimal(TextBuffer buffer, int *pos, ULONG value, int minDigits)
{
    WCHAR digits[16];
    int first = 15;
    digits[first] = L'\0';
    do {
        digits[--first] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || 15 - first < minDigits);
    Append(buffer, pos, digits + first);
}

} // namespace

double ToMilliseconds(ULONG period)
{
    return static_cast<double>(period) / 10000.0;
}

int WholeMilliseconds(ULONG period)
{
    return static_cast<int>(period / PERIODS_PER_MS);
}

void FormatPeriodText(ULONG period, TextBuffer buffer)
{
    ULONG thousandths = RoundedThousandths(period);
    int pos = 0;
    AppendDecimal(buffer, &pos, thousandths / 1000, 1);
    Append(buffer, &pos, L".");
    AppendDecimal(buffer, &pos, thousandths % 1000, 3);
    Append(buffer, &pos, L" ms");
}

void FormatChoiceText(int n, TextBuffer buffer)
{
    int pos = 0;
    if (n < 0)
        Append(buffer, &pos, L"-");
    // Negated in unsigned arithmetic so that INT_MIN survives.
    ULONG magnitude = n < 0 ? 0u - static_cast<ULONG>(n) : static_cast<ULONG>(n);
    AppendDecimal(buffer, &pos, magnitude, 1);
    Append(buffer, &pos, L" ms");
}

PeriodChoices PeriodChoiceRange(const ResolutionReading &reading)
{
    PeriodChoices choices = {WholeMilliseconds(reading.maxPeriod), WholeMilliseconds(reading.minPeriod)};
    return choices;
}
