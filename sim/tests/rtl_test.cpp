// Run-time library routines: counted strings and comparisons as the driver
// uses them for identifiers.

#include "internal.h"
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

} // namespace
