// The scenario parser: words, numbers, hex texts, and the errors of bad
// lines with their line numbers.

#include "scenario.h"

#include <gtest/gtest.h>

namespace kvrsim
{
namespace
{

Scenario Parse(const std::string &Text)
{
    Scenario S;
    auto E = ParseScenario(Text, S);
    EXPECT_FALSE(E) << (E ? std::to_string(E->Line) + ": " + E->Message : "");
    return S;
}

ParseError ParseFails(const std::string &Text)
{
    Scenario S;
    auto E = ParseScenario(Text, S);
    EXPECT_TRUE(E) << "parsed: " << Text;
    return E.value_or(ParseError{});
}

TEST(ScenarioParser, ReadsWordsNumbersAndHex)
{
    Scenario S = Parse("  # a comment line\n"
                       "\n"
                       "frame mode 0x02   # the frame is setting up\n"
                       "frame panel 26 0xff\n"
                       "ioctl 0x234018 out=6\n"
                       "ioctl SetOrientation in=5A000000\n"
                       "expect ioctl 0 info=4 out=\n"
                       "reg set peer:Acceleration.Level dword 0x10\n"
                       "reg set Blob binary 00FFa0\n"
                       "power standby\n"
                       "power 7\r\n"
                       "wait 250\n");
    ASSERT_EQ(S.Commands.size(), 10u);
    EXPECT_EQ(S.Commands[0].Kind, Op::FrameMode);
    EXPECT_EQ(S.Commands[0].Value, 2u);
    EXPECT_EQ(S.Commands[0].Line, 3u);
    EXPECT_EQ(S.Commands[1].Value2, 255u);
    EXPECT_EQ(S.Commands[2].Value, 0x234018u);
    EXPECT_EQ(S.Commands[2].OutLength, 6u);
    EXPECT_EQ(S.Commands[3].Value, 0x23400Cu);
    EXPECT_EQ(S.Commands[3].Bytes, (std::vector<uint8_t>{0x5A, 0, 0, 0}));
    ASSERT_TRUE(S.Commands[4].ExpectOut);
    EXPECT_TRUE(S.Commands[4].ExpectOut->empty());
    EXPECT_EQ(S.Commands[4].ExpectInfo, 4u);
    EXPECT_TRUE(S.Commands[5].PeerKey);
    EXPECT_EQ(S.Commands[5].Name, "Acceleration.Level");
    EXPECT_EQ(S.Commands[6].Bytes, (std::vector<uint8_t>{0x00, 0xFF, 0xA0}));
    EXPECT_EQ(S.Commands[7].Value, 2u);
    EXPECT_EQ(S.Commands[8].Value, 7u);
    EXPECT_EQ(S.Commands[9].Line, 12u);
    EXPECT_FALSE(S.HasBoot);
}

TEST(ScenarioParser, SzValueIsTheRestOfTheLineAndHashInsideAWordIsText)
{
    Scenario S = Parse("reg set InstallLocation sz   C:\\Program Files\\Frame #2  \n"
                       "notify arrival \\??\\USB#VID_ABCD&PID_1000#X1#{a} class=other\n");
    ASSERT_EQ(S.Commands.size(), 2u);
    EXPECT_EQ(S.Commands[0].Type, RegType::Sz);
    EXPECT_EQ(S.Commands[0].Text, "C:\\Program Files\\Frame #2  ");
    EXPECT_EQ(S.Commands[1].Name, "\\??\\USB#VID_ABCD&PID_1000#X1#{a}");
    EXPECT_FALSE(S.Commands[1].UsbClass);
}

TEST(ScenarioParser, BadLinesGiveTheirLineAndWhatIsWrong)
{
    struct Case {
        const char *Text;
        unsigned Line;
        const char *Message;
    };
    const Case Cases[] = {
        {"wait 10\nfly away\n", 2, "unknown command 'fly' (one of boot, pnp, plug, unplug,"},
        {"fly away\n", 1, " expect, display, draw, escape, show)"},
        {"display maybe\n", 1, "usage: display on|off|fail-map N"},
        {"draw fill 1 2 3 4 red\n", 1, "bad colour 'red': expected RRGGBB"},
        {"expect escape 1\nescape ActivateClient\n", 1, "expect escape with no escape before it"},
        {"display on\nboot\n", 1, "display or escape before boot"},
        {"wait 86400001\n", 1, "at most a day: repeat the line for a longer run"},
        {"frame speed 3\n", 1, "(mode, panel, input, reply, complete or nobuild)"},
        {"reg get X\n", 1, "unknown reg command 'get' (set, del or fail)"},
        {"power nap\n", 1, "unknown power state 'nap' (on, standby, suspend, off or a number)"},
        {"frame mode 256\n", 1, "mode '256' is out of range (at most 255)"},
        {"wait 12ms\n", 1, "bad wait '12ms'"},
        {"wait 0x\n", 1, "bad wait '0x'"},
        {"expect reg DeviceInfo 080\n", 1, "an even number of hex digits"},
        {"ioctl QueryDisplayMode in=0g\n", 1, "only hex digits"},
        {"ioctl QueryDisplayModes\n", 1,
         "unknown control code name 'QueryDisplayModes' (StartExternalSession, "
         "QueryOrientation, SetOrientation, ActivateClient, QueryDisplayMode, QueryPowerOff, "
         "QueryDataFilePath, EndExternalSession, QueryWideModel, or a number)"},
        {"ioctl QueryDisplayMode out=6 out=6\n", 1, "unexpected 'out=6'"},
        {"plug ABC 1000 X\n", 1, "vendor ID 'ABC' must be four characters"},
        {"unplug ABCD 1000\n", 1, "usage: unplug VID PID INSTANCE"},
        {"boot\n\nboot\n", 3, "boot may appear only once"},
        {"ActivateClient\n", 1, "unknown command"},
        {"ioctl ActivateClient\nexpect ioctl 0 info=x\n", 2, "bad info 'x'"},
        {"expect ioctl 0\nioctl ActivateClient\n", 1, "expect ioctl with no ioctl before it"},
        {"power off\nboot\n", 1, "power before boot"},
        {"reg set Orientation dword 4294967296\n", 1, "out of range"},
        {"reg set Orientation qword 1\n", 1, "unknown value type 'qword'"},
        {"reg fail sometimes 1\n", 1, "usage: reg fail"},
        {"frame reply later\n", 1, "usage: frame reply now|pending|fail|after=MS"},
        {"frame reply after=4ms\n", 1, "bad delay '4ms'"},
        {"frame remove gently\n", 1, "usage: frame remove surprise|orderly|refused"},
        {"frame add now\n", 1, "usage: frame add"},
        {"notify arrival X class=hid\n", 1, "usage: notify"},
        {"peer maybe\n", 1, "usage: peer present|absent"},
        {"show all\n", 1, "usage: show"},
        {"boot monitor-first\n", 1, "usage: boot [adapter-first]"},
        {"pnp existing 3\n", 1, "copies '3' is out of range (at most 2)"},
        {"pnp existing 0\n", 1, "reported once or twice"},
        {"pnp existing 1 later=2\n", 1, "later '2' is out of range (at most 1)"},
        {"pnp existing 2 soon=1\n", 1, "usage: pnp existing"},
        {"pnp existing 2 later=1 later=1\n", 1, "usage: pnp existing"},
        {"trace maybe\n", 1, "usage: trace on|off"},
        {"expect requests\n", 1, "usage: expect requests N"},
        {"adapter unplug\n", 1, "usage: adapter"},
        {"adapter remove 2\n", 1, "usage: adapter"},
        {"adapter fail-start x\n", 1, "count"},
        {"system doze\n", 1, "usage: system sleep|hibernate"},
        {"system sleep cancel\n", 1, "usage: system sleep|hibernate"},
        {"system resume soon\n", 1, "usage: system sleep|hibernate"},
        {"system sleep\nwait 10\nioctl QueryWideModel\n", 3, "while the system sleeps"},
        {"system hibernate\nsystem sleep\nadapter remove\n", 3, "while the system sleeps"},
        {"adapter remove\nboot\n", 1, "adapter before boot"},
        {"system sleep\nboot\n", 1, "system before boot"},
    };
    for (const Case &C : Cases) {
        ParseError E = ParseFails(C.Text);
        EXPECT_EQ(E.Line, C.Line) << C.Text;
        EXPECT_NE(E.Message.find(C.Message), std::string::npos) << C.Text << " gave: " << E.Message;
    }
}

TEST(ScenarioParser, EveryCommandOfTheTableIsUnderstood)
{
    // Each syntax line of --help, with its alternatives and placeholders
    // filled in, must parse.
    const char *Filled[] = {
        "boot adapter-first",
        "pnp existing 2 later=1 after=800",
        "plug ABCD 1000 SER001",
        "unplug ABCD 1000 SER001",
        "notify other NAME class=usb",
        "peer absent",
        "frame mode 3",
        "frame panel 8 0",
        "frame input 1 0",
        "frame reply after=4",
        "frame complete",
        "frame remove orderly",
        "frame add",
        "frame nobuild 2",
        "reg set peer:Acceleration.Level binary 01000000",
        "reg del peer:Acceleration.Level",
        "reg fail read 1",
        "reg fail off",
        "pool fail 1",
        "power off",
        "adapter fail-start 2",
        "adapter disable",
        "system resume replug",
        "ioctl QueryWideModel in= out=1",
        "wait 250",
        "trace off",
        "expect reg peer:Acceleration.Level absent",
        "expect ioctl 122 info=0 out=00",
        "expect requests 1",
        "display on",
        "display fail-map 1",
        "draw fill 1 2 3 4 ff8000",
        "draw copy 0 0 10 10 5 5",
        "escape QUERYESCSUPPORT in=18402300 out=0",
        "expect pixel 1 2 ff8000",
        "expect escape -1 out=",
        "show",
    };
    ASSERT_EQ(std::size(Filled), CommandTable().size());
    std::string Text;
    for (const char *Line : Filled)
        Text += std::string(Line) + "\n";
    Scenario S = Parse(Text);
    EXPECT_EQ(S.Commands.size(), std::size(Filled));
    EXPECT_TRUE(S.HasBoot);
}

} // namespace
} // namespace kvrsim
