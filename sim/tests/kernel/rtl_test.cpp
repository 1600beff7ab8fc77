// Run-time library routines: counted strings and comparisons as the driver
// uses them for identifiers.

#include "kernel/text_steps.h"
#include "record.h"
#include "sim.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace
{

TEST(Rtl, CountedStringsOverZeroTerminatedTexts)
{
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, u"\\Device\\KEVO-0");
    EXPECT_EQ(wide.Length, 28);
    EXPECT_EQ(wide.MaximumLength, 30);
    RtlInitUnicodeString(&wide, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(wide.Buffer, nullptr);
    ANSI_STRING narrow;
    RtlInitAnsiString(&narrow, "1d6b");
    EXPECT_EQ(narrow.Length, 4);
    EXPECT_EQ(narrow.MaximumLength, 5);
}

// Texts starting anywhere in memory, of any length: characters before the
// text (a terminator among them) and after its terminator do not count.
TEST(Rtl, CountedStringOfATextAtAnyOffsetAndLength)
{
    alignas(16) char16_t buffer[128];
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length = 0; length < 48; ++length) {
            std::fill(std::begin(buffer), std::end(buffer), u'x');
            if (start > 0)
                buffer[start - 1] = 0;
            buffer[start + length] = 0;
            buffer[start + length + 1] = 0;
            UNICODE_STRING wide;
            RtlInitUnicodeString(&wide, buffer + start);
            ASSERT_EQ(wide.Length, 2 * length) << "start " << start;
            ASSERT_EQ(wide.MaximumLength, 2 * length + 2);
            ASSERT_EQ(wide.Buffer, buffer + start);
        }
    }
}

// The same measure with a limit, in both modes of reading.
TEST(Rtl, WideLengthStopsAtTheLimit)
{
    alignas(16) char16_t buffer[80];
    for (sim::Mode mode : {sim::Mode::Deterministic, sim::Mode::FreeRunning}) {
        sim::Options options;
        options.RunMode = mode;
        sim::Reset(options);
        std::fill(std::begin(buffer), std::end(buffer), u'y');
        buffer[70] = 0;
        for (size_t start : {0, 1, 5, 8})
            for (size_t limit : {0, 1, 7, 8, 9, 31, 64, 65, 100}) {
                size_t expected = std::min(limit, 70 - start);
                EXPECT_EQ(sim::detail::WideLength(buffer + start, limit), expected)
                    << "start " << start << ", limit " << limit;
            }
        EXPECT_EQ(sim::detail::WideLength(nullptr, 10), 0u);
        sim::Shutdown();
    }
}

TEST(Rtl, CompareStringUpcasesAsciiOnlyWhenAsked)
{
    char lower[] = "1d6b", upper[] = "1D6B", longer[] = "1D6B0";
    STRING a{4, 5, lower}, b{4, 5, upper}, c{5, 6, longer};
    EXPECT_EQ(RtlCompareString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareString(&a, &b, FALSE), 0); // 'd' > 'D'
    EXPECT_LT(RtlCompareString(&b, &c, TRUE), 0);  // a prefix sorts first
    EXPECT_GT(RtlCompareString(&c, &a, TRUE), 0);
    // Only ASCII letters fold: the Latin-1 letters compare as they are.
    char e1[] = "\xe9", e2[] = "\xc9";
    STRING x{1, 2, e1}, y{1, 2, e2};
    EXPECT_NE(RtlCompareString(&x, &y, TRUE), 0);
}

// RtlCompareString is documented for PASSIVE_LEVEL; the string
// initialisers for DISPATCH_LEVEL and below; RtlCompareMemory for any level.
TEST(Rtl, IrqlOfEachRoutine)
{
    sim::Reset();
    char text[] = "1d6b";
    STRING a{4, 5, text};
    ANSI_STRING ansi;
    UNICODE_STRING wide;
    sim::SetIrql(DISPATCH_LEVEL);
    RtlInitAnsiString(&ansi, text);
    RtlInitUnicodeString(&wide, u"x");
    RtlCompareMemory(text, text, 4);
    EXPECT_TRUE(sim::Violations().empty());
    sim::SetIrql(APC_LEVEL);
    RtlCompareString(&a, &a, TRUE);
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_EQ(sim::Violations()[0].Text, "RtlCompareString at IRQL 1");
    sim::ClearViolations();
    sim::SetIrql(15); // HIGH_LEVEL
    RtlInitUnicodeString(&wide, u"x");
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(sim::Violations().size(), 1u);
    sim::Shutdown();
}

TEST(Rtl, CompareMemoryCountsTheEqualLeadingBytes)
{
    EXPECT_EQ(RtlCompareMemory("TQXRA4", "TQXRA4", 6), 6u);
    EXPECT_EQ(RtlCompareMemory("TQXRA4", "TQXRB4", 6), 4u);
    EXPECT_EQ(RtlCompareMemory("tQXRA4", "TQXRA4", 6), 0u);
}

// The platform's comparison, one character at a time.
LONG ReferenceCompare(const std::string &a, const std::string &b, bool caseInsensitive)
{
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        UCHAR c1 = (UCHAR)a[i], c2 = (UCHAR)b[i];
        if (caseInsensitive) {
            c1 = (c1 >= 'a' && c1 <= 'z') ? (UCHAR)(c1 - 32) : c1;
            c2 = (c2 >= 'a' && c2 <= 'z') ? (UCHAR)(c2 - 32) : c2;
        }
        if (c1 != c2)
            return (LONG)c1 - (LONG)c2;
    }
    return (LONG)a.size() - (LONG)b.size();
}

// Strings of every length to 25 that differ at one place, in case or more,
// in both modes of reading: the result is the first difference's, as the
// platform gives it, wherever it lies in a word.
TEST(Rtl, CompareStringAndMemoryFindTheFirstDifferenceAnywhere)
{
    for (sim::Mode mode : {sim::Mode::Deterministic, sim::Mode::FreeRunning}) {
        sim::Options options;
        options.RunMode = mode;
        sim::Reset(options);
        for (size_t length = 0; length <= 25; ++length) {
            std::string base;
            for (size_t i = 0; i < length; ++i)
                base.push_back("abcdefghijklmnopqrstuvwxyz"[i]);
            for (size_t at = 0; at <= length; ++at) {
                // The same letter upcased, the next letter, a character below
                // the letters, a zero; past the end, a longer string.
                for (int variant = 0; variant < 4; ++variant) {
                    char c = at < length ? base[at] : 'a';
                    char replaced = variant == 0   ? (char)(c - 32)
                                    : variant == 1 ? (char)(c + 1)
                                    : variant == 2 ? '@'
                                                   : '\0';
                    std::string changed = base;
                    if (at < length)
                        changed[at] = replaced;
                    else
                        changed.push_back(replaced);
                    STRING a{(USHORT)base.size(), (USHORT)base.size(), base.data()};
                    STRING b{(USHORT)changed.size(), (USHORT)changed.size(), changed.data()};
                    for (bool insensitive : {false, true}) {
                        ASSERT_EQ(RtlCompareString(&a, &b, insensitive),
                                  ReferenceCompare(base, changed, insensitive))
                            << base << " / " << changed << ", at " << at;
                        ASSERT_EQ(RtlCompareString(&b, &a, insensitive),
                                  ReferenceCompare(changed, base, insensitive));
                    }
                    size_t same = 0;
                    while (same < length && base[same] == changed[same])
                        ++same;
                    ASSERT_EQ(RtlCompareMemory(base.data(), changed.data(), length), same)
                        << base << " / " << changed;
                }
            }
        }
        EXPECT_TRUE(sim::Shutdown().empty());
    }
}

// Texts narrowed for the records: a character above Latin-1 becomes '?'
// wherever it lies, the others stay.
TEST(Rtl, NarrowedTextsKeepLatin1AndMarkTheRest)
{
    for (size_t length = 0; length <= 25; ++length) {
        std::u16string text;
        for (size_t i = 0; i < length; ++i)
            text.push_back(i % 3 == 0 ? u'\xe9' : (char16_t)(u'a' + i));
        std::string expected(text.begin(), text.end());
        ASSERT_EQ(sim::detail::Narrow(text), expected);
        for (size_t at = 0; at < length; ++at) {
            for (char16_t wide : {u'\x100', u'\x3a9', u'\xff00', u'\x1e9'}) {
                std::u16string changed = text;
                changed[at] = wide;
                std::string narrow = expected;
                narrow[at] = '?';
                ASSERT_EQ(sim::detail::Narrow(changed), narrow) << "at " << at;
                std::string into = "left over from before";
                sim::detail::NarrowInto(into, changed);
                ASSERT_EQ(into, narrow);
            }
        }
    }
}

} // namespace
