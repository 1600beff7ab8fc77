// Run-time library routines: counted strings and comparisons as the driver
// uses them for identifiers.

#include "sim.h"

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
