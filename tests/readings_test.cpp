// Readout texts and request choices. The readout is checked against an oracle
// that works the other way round from the product code: it writes out the
// double's exact decimal expansion digit by digit (mantissa times a power of
// five, in base 10^9) and rounds that string half-up.
#include "timer_resolution.h"

#include <gtest/gtest.h>

#include <float.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// A non-negative integer in base 10^9, least significant limb first.
struct Big {
    uint32_t limb[12];
    int size;
};
const uint32_t LIMB = 1000000000u;

// n = n * factor + add, for factor and add below 10^9.
void MultiplyAdd(Big &n, uint32_t factor, uint32_t add)
{
    uint64_t carry = add;
    for (int i = 0; i < n.size; ++i) {
        uint64_t v = uint64_t(n.limb[i]) * factor + carry;
        n.limb[i] = uint32_t(v % LIMB);
        carry = v / LIMB;
    }
    if (carry != 0)
        n.limb[n.size++] = uint32_t(carry);
}

// The exact value of a non-negative double as "integer.fraction", every digit
// up to the last non-zero one.
std::string ExactDecimal(double d)
{
    if (d == 0)
        return "0.0";
    int exponent;
    double fraction = std::frexp(d, &exponent); // d = fraction * 2^exponent, 0.5 <= fraction < 1
    uint64_t mantissa = uint64_t(std::ldexp(fraction, 53));
    int k = 53 - exponent; // d = mantissa / 2^k = mantissa * 5^k / 10^k
    if (k <= 0)
        return std::to_string(mantissa << -k) + ".0";
    // mantissa * 5^k, multiplied up by 5^12 (the largest power below 10^9) at a time.
    Big n = {{uint32_t(mantissa % LIMB), uint32_t(mantissa / LIMB)}, mantissa >= LIMB ? 2 : 1};
    int left = k;
    for (; left >= 12; left -= 12)
        MultiplyAdd(n, 244140625u, 0);
    for (; left > 0; --left)
        MultiplyAdd(n, 5, 0);
    std::string all;
    for (int i = n.size - 1; i >= 0; --i)
        for (uint32_t unit = 100000000u; unit != 0; unit /= 10)
            all += char('0' + n.limb[i] / unit % 10);
    all.erase(0, std::min(all.find_first_not_of('0'), all.size() - 1));
    if (int(all.size()) <= k)
        all.insert(0, size_t(k) + 1 - all.size(), '0');
    std::string exact = all.substr(0, all.size() - size_t(k)) + "." + all.substr(all.size() - size_t(k));
    while (exact.back() == '0' && exact[exact.size() - 2] != '.')
        exact.pop_back();
    return exact;
}

// Rounds "integer.fraction" to three decimals, half-up, and appends " ms".
std::wstring RoundedText(const std::string &exact)
{
    size_t point = exact.find('.');
    std::string whole = exact.substr(0, point);
    std::string decimals = exact.substr(point + 1) + "0000";
    std::string kept = whole + decimals.substr(0, 3);
    if (decimals[3] >= '5') {
        size_t i = kept.size();
        while (i > 0 && kept[i - 1] == '9')
            kept[--i] = '0';
        if (i == 0)
            kept.insert(0, "1");
        else
            ++kept[i - 1];
    }
    std::string text = kept.substr(0, kept.size() - 3) + "." + kept.substr(kept.size() - 3) + " ms";
    return std::wstring(text.begin(), text.end());
}

std::wstring Formatted(ULONG period)
{
    TextBuffer buffer;
    wmemset(buffer, L'#', TEXT_BUFFER_UNITS);
    FormatPeriodText(period, buffer);
    return buffer;
}

TEST(PeriodText, MatchesTheExactDecimalExpansionRoundedHalfUp)
{
    // Every exact tie (an odd multiple of 625), the neighbours of every eighth,
    // small periods where the doubles are finest, and a stride over the range.
    // In the emulated guest (scripts/guest sets KRONVEL_EMULATED), where the
    // whole sample takes a minute, every tenth tie only: the full sample runs
    // wherever the 32-bit programs run natively, and in the 64-bit build.
    const uint64_t share = getenv("KRONVEL_EMULATED") ? 10 : 1;
    std::vector<ULONG> periods;
    for (uint64_t tie = 625; tie <= 0xFFFFFFFFu; tie += 1250 * share) {
        periods.push_back(ULONG(tie));
        if (tie % 10000 == 625) {
            periods.push_back(ULONG(tie - 1));
            periods.push_back(ULONG(tie + 1));
        }
    }
    for (ULONG p = 0; p < 100000; ++p)
        periods.push_back(p);
    for (uint64_t p = 0; p <= 0xFFFFFFFFu; p += 999983)
        periods.push_back(ULONG(p));
    // And the readout's everyday periods: 15.625 ms, 0.977 ms, and 1000.000 ms,
    // where the rounding carries into the whole part.
    periods.insert(periods.end(), {156250, 9766, 9999995, 0xFFFFFFFFu});

#ifndef _WIN64
    // The oracle's own division must give the double itself: round the x87
    // unit's results to 53 bits, as Microsoft's runtimes leave it. (x64 code
    // divides doubles in SSE2, which rounds to 53 bits anyway.)
    unsigned int precision = _controlfp(0, 0) & _MCW_PC;
    _controlfp(_PC_53, _MCW_PC);
#endif
    int failures = 0;
    for (ULONG p : periods) {
        std::wstring expected = RoundedText(ExactDecimal(double(p) / 10000.0));
        std::wstring actual = Formatted(p);
        if (actual != expected && ++failures <= 10)
            ADD_FAILURE() << "period " << p << ": expected \"" << std::string(expected.begin(), expected.end())
                          << "\", got \"" << std::string(actual.begin(), actual.end()) << "\"";
    }
#ifndef _WIN64
    _controlfp(precision, _MCW_PC);
#endif
    EXPECT_EQ(failures, 0) << "of " << periods.size() << " periods";
    EXPECT_GT(periods.size(), 4000000u / share);
}

TEST(PeriodText, OracleAgreesWithKnownExpansions)
{
    // The oracle itself, on values whose expansions are known by hand.
    EXPECT_EQ(ExactDecimal(1.5625), "1.5625");
    EXPECT_EQ(ExactDecimal(0.0625), "0.0625");
    EXPECT_EQ(ExactDecimal(0.1), "0.1000000000000000055511151231257827021181583404541015625");
    EXPECT_EQ(ExactDecimal(429496.7295), "429496.729500000015832483768463134765625");
}

#ifndef _WIN64 // x64 code has no x87 precision to set
TEST(PeriodText, DoesNotDependOnTheFpuPrecision)
{
    // MinGW's start-up leaves the x87 unit at 64 bits, Microsoft's at 53; a
    // host may set 24. The texts stay the same.
    unsigned int saved = _controlfp(0, 0) & _MCW_PC;
    for (ULONG p = 1; p < 2000000000u; p = p * 3 + 625) {
        std::wstring texts[3];
        const unsigned int precisions[3] = {_PC_24, _PC_53, _PC_64};
        for (int i = 0; i < 3; ++i) {
            _controlfp(precisions[i], _MCW_PC);
            texts[i] = Formatted(p);
        }
        _controlfp(saved, _MCW_PC);
        EXPECT_EQ(texts[0], texts[1]) << "period " << p;
        EXPECT_EQ(texts[1], texts[2]) << "period " << p;
    }
}
#endif

TEST(ChoiceText, IsTheWholeNumberFollowedByMs)
{
    static const int values[] = {0, 1, 9, 10, 15, 429496, -1, 2147483647, -2147483647 - 1};
    for (int n : values) {
        wchar_t expected[64];
        swprintf(expected, 64, L"%d ms", n);
        TextBuffer buffer;
        FormatChoiceText(n, buffer);
        EXPECT_STREQ(buffer, expected) << "n " << n;
    }
}

TEST(Milliseconds, WholePartIsTheIntegerQuotient)
{
    EXPECT_EQ(WholeMilliseconds(9999), 0);
    EXPECT_EQ(WholeMilliseconds(10000), 1);
    EXPECT_EQ(WholeMilliseconds(4294967295u), 429496);
    volatile double largest = ToMilliseconds(4294967295u); // stored: no excess x87 precision
    EXPECT_EQ(largest, 429496.7295);                       // stays positive above 2^31
    for (uint64_t p = 0; p <= 0xFFFFFFFFu; p += 9973) {
        ASSERT_EQ(WholeMilliseconds(ULONG(p)), int(p / 10000)) << "period " << p;
        ASSERT_EQ(WholeMilliseconds(ULONG(p)), int(std::trunc(ToMilliseconds(ULONG(p))))) << "period " << p;
    }
}

TEST(Choices, RangeRunsFromTheLongestWholePeriodDownToTheShortest)
{
    static const struct {
        ULONG maxPeriod, minPeriod; // 100-ns units
        int hi, lo, count;
    } cases[] = {
        {156250, 5000, 15, 0, 16},  // 15.625 ms .. 0.5 ms: "15 ms" .. "0 ms"
        {156250, 10000, 15, 1, 15}, // no "0 ms" choice
        {12000, 10000, 1, 1, 1},    // same whole part: one choice
        {5000, 156250, 0, 15, 0},   // hi < lo: none
        {0, 0, 0, 0, 1},
        {4294967295u, 0, 429496, 0, 429497},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "reading (" << c.maxPeriod << ", " << c.minPeriod << ")");
        for (ULONG cur : {0ul, c.minPeriod, 4294967295ul}) { // the current period plays no part
            PeriodChoices range = PeriodChoiceRange({c.maxPeriod, c.minPeriod, cur});
            EXPECT_EQ(range.hi, c.hi);
            EXPECT_EQ(range.lo, c.lo);
            EXPECT_EQ(range.hi >= range.lo ? range.hi - range.lo + 1 : 0, c.count);
        }
    }
}

} // namespace
