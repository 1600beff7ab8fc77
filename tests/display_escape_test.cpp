// DrvEscape under hostile callers: for each row, the escape, the lengths and
// the input a program gives ExtEscape, the value DrvEscape returns and the
// bytes it writes. The caller's buffers are exactly the lengths given (heap
// blocks, so AddressSanitizer reports a read or write past either) and sit
// between guard bytes in a second run, which must come back untouched, as
// must every output byte past those the miniport returned.

#include "support/harness.h"

#include <memory>

#include "display/escape/escape.h"

using namespace kvrtest;

namespace
{

constexpr uint8_t CallerFill = 0xEE;
constexpr uint8_t GuardFill = 0x5A;
constexpr size_t Guard = 32;
constexpr ULONG Refused = 0xFFFFFFFF;

struct EscapeCase {
    const char *Name;
    ULONG Escape;
    std::vector<uint8_t> In;
    ULONG OutLength;
    ULONG Result;
    std::vector<uint8_t> Written; // the output's first bytes after the call
};

const EscapeCase Cases[] = {
    {"support-of-a-code", 8, {0x18, 0x40, 0x23, 0x00}, 0, 1, {}},
    {"support-of-itself", 8, {0x08, 0, 0, 0}, 0, 1, {}},
    {"support-of-another", 8, {0x10, 0x40, 0x23, 0x00}, 0, 0, {}},
    {"support-short-input", 8, {0x18, 0x40, 0x23}, 0, Refused, {}},
    {"support-no-input", 8, {}, 4, Refused, {}},
    {"unknown-private", 0x12345, {1, 2, 3}, 8, 0, {}},
    {"unknown-code-of-the-device", 0x234010, {}, 8, 0, {}},
    {"public-escape", 7, {}, 8, 0, {}},
    {"mode", 0x234018, {}, 6, 7, {0x20, 0x03, 0xE0, 0x01, 0x10, 0x00}},
    {"mode-long-output", 0x234018, {}, 4096, 7, {0x20, 0x03, 0xE0, 0x01, 0x10, 0x00}},
    {"mode-short-output", 0x234018, {}, 5, Refused, {}},
    {"mode-long-input",
     0x234018,
     std::vector<uint8_t>(300, 0x77),
     6,
     7,
     {0x20, 0x03, 0xE0, 0x01, 0x10, 0x77}},
    {"session-short-input", 0x234000, {1, 2, 3, 4, 5, 6, 7}, 8, Refused, {}},
    {"session", 0x234000, {1, 0, 0, 0, 2, 0, 0, 0}, 8, 1, {}},
    {"session-end", 0x234030, {9}, 0, 1, {}},
    {"orientation-short-output", 0x234008, {}, 3, Refused, {}},
    {"orientation-set-short", 0x23400C, {2, 0, 0}, 0, Refused, {}},
    {"orientation-set", 0x23400C, {2, 0, 0, 0}, 4, 1, {}},
    {"power-off-no-output", 0x234024, {}, 0, Refused, {}},
    {"power-off", 0x234024, {}, 1, 2, {0}},
    {"wide-model", 0x234034, {}, 1, 2, {0}},
    {"path-short-output", 0x23402C, {}, 199, Refused, {}},
    {"activate", 0x234014, {}, 0, 1, {}},
};

class HostileEscape : public DriverTest, public ::testing::WithParamInterface<EscapeCase>
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        sim::UseDisplayDriver(DrvEnableDriver);
        LoadAndStart(true);
        sim::SetFramePanel(8, 0);
        ASSERT_TRUE(AttachFrame());
        sim::Advance(1500);
        ASSERT_TRUE(sim::DisplayOn());
    }
    void TearDown() override
    {
        sim::DisplayOff();
        DriverTest::TearDown();
        sim::UseDisplayDriver(nullptr);
    }
};

// The output as the row expects it: the bytes written, then the caller's own.
std::vector<uint8_t> ExpectedOutput(const EscapeCase &Case)
{
    std::vector<uint8_t> Out(Case.OutLength, CallerFill);
    std::copy(Case.Written.begin(), Case.Written.end(), Out.begin());
    return Out;
}

TEST_P(HostileEscape, ReturnsTheDocumentedValueAndTouchesOnlyWhatItReturns)
{
    const EscapeCase &Case = GetParam();
    // Exact blocks: a byte read or written past either is the sanitizer's.
    {
        std::unique_ptr<uint8_t[]> In(Case.In.empty() ? nullptr : new uint8_t[Case.In.size()]);
        std::copy(Case.In.begin(), Case.In.end(), In.get());
        std::unique_ptr<uint8_t[]> Out(Case.OutLength ? new uint8_t[Case.OutLength] : nullptr);
        std::fill_n(Out.get(), Case.OutLength, CallerFill);
        ULONG Result =
            sim::ExtEscape(Case.Escape, {In.get(), Case.In.size()}, {Out.get(), Case.OutLength});
        EXPECT_EQ(Result, Case.Result);
        EXPECT_EQ(std::vector<uint8_t>(Out.get(), Out.get() + Case.OutLength),
                  ExpectedOutput(Case));
    }
    // The same between guard bytes, which stay as they were.
    std::vector<uint8_t> In(Guard + Case.In.size() + Guard, GuardFill);
    std::copy(Case.In.begin(), Case.In.end(), In.begin() + Guard);
    std::vector<uint8_t> Out(Guard + Case.OutLength + Guard, GuardFill);
    std::fill_n(Out.begin() + Guard, Case.OutLength, CallerFill);
    std::vector<uint8_t> InBefore = In;
    ULONG Result = sim::ExtEscape(Case.Escape, {In.data() + Guard, Case.In.size()},
                                  {Out.data() + Guard, Case.OutLength});
    // A second session start changes nothing; every other row answers alike.
    EXPECT_EQ(Result, Case.Result);
    EXPECT_EQ(In, InBefore) << "the input is only read";
    std::vector<uint8_t> Whole(Guard, GuardFill);
    std::vector<uint8_t> Expected = ExpectedOutput(Case);
    Whole.insert(Whole.end(), Expected.begin(), Expected.end());
    Whole.insert(Whole.end(), Guard, GuardFill);
    EXPECT_EQ(Out, Whole);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileEscape, ::testing::ValuesIn(Cases), RowName());

// Lengths that GDI cannot have checked: a length with no buffer is refused
// before the surface object, the device or either buffer is touched (a null
// surface object shows that nothing of it is read).
TEST(HostileEscapeArguments, ALengthWithoutABufferIsRefusedBeforeAnyUse)
{
    uint8_t Out[8];
    EXPECT_EQ(DrvEscape(nullptr, 0x234000, 8, nullptr, 0, nullptr), Refused);
    EXPECT_EQ(DrvEscape(nullptr, 0x234018, 0, nullptr, 6, nullptr), Refused);
    EXPECT_EQ(DrvEscape(nullptr, 8, 4, nullptr, 0, nullptr), Refused);
    EXPECT_EQ(DrvEscape(nullptr, 0x234018, 0, nullptr, 5, Out), Refused);
    EXPECT_EQ(DrvEscape(nullptr, 0x7FFFFFFF, 0xFFFFFFFF, nullptr, 0xFFFFFFFF, nullptr), 0u);
}

} // namespace
