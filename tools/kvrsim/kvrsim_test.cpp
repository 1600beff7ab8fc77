// kvrsim's own behaviour: the scenario parser and its errors, the command
// line, and the exit statuses of a run.

#include "cli.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

struct RunResult {
    int Status;
    std::string Out, Err;
};

RunResult RunTool(std::vector<std::string> Args, const std::string &Stdin = "")
{
    std::istringstream In(Stdin);
    std::ostringstream Out, Err;
    int Status = KvrsimMain(Args, In, Out, Err);
    return {Status, Out.str(), Err.str()};
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
        {"wait 10\nfly away\n", 2, "unknown command 'fly'"},
        {"frame mode 256\n", 1, "mode '256' is out of range (at most 255)"},
        {"wait 12ms\n", 1, "bad wait '12ms'"},
        {"wait 0x\n", 1, "bad wait '0x'"},
        {"expect reg DeviceInfo 080\n", 1, "an even number of hex digits"},
        {"ioctl QueryDisplayMode in=0g\n", 1, "only hex digits"},
        {"ioctl QueryDisplayModes\n", 1, "unknown control code name"},
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
        {"frame reply later\n", 1, "usage: frame reply now|pending|fail"},
        {"notify arrival X class=hid\n", 1, "usage: notify"},
        {"peer maybe\n", 1, "usage: peer present|absent"},
        {"show all\n", 1, "usage: show"},
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
        "boot",
        "plug ABCD 1000 SER001",
        "unplug ABCD 1000 SER001",
        "notify other NAME class=usb",
        "peer absent",
        "frame mode 3",
        "frame panel 8 0",
        "frame input 1 0",
        "frame reply pending",
        "frame complete",
        "frame nobuild 2",
        "reg set peer:Acceleration.Level binary 01000000",
        "reg del peer:Acceleration.Level",
        "reg fail read 1",
        "reg fail off",
        "pool fail 1",
        "power off",
        "ioctl QueryWideModel in= out=1",
        "wait 250",
        "expect reg peer:Acceleration.Level absent",
        "expect ioctl 122 info=0 out=00",
        "show",
    };
    ASSERT_EQ(std::size(Filled), CommandTable().size());
    std::string Text;
    for (const char *Line : Filled)
        Text += std::string(Line) + "\n";
    Scenario S = Parse("ioctl ActivateClient\n" + Text);
    EXPECT_EQ(S.Commands.size(), std::size(Filled) + 1);
}

TEST(CommandLine, UsageErrorsExitTwoWithoutRunning)
{
    for (auto Args : {std::vector<std::string>{"--verbose"}, {"a.kvs", "b.kvs"}, {"ids", "x"}}) {
        RunResult R = RunTool(Args);
        EXPECT_EQ(R.Status, ExitUsage);
        EXPECT_EQ(R.Out, "");
        EXPECT_NE(R.Err.find("usage: kvrsim"), std::string::npos) << R.Err;
    }
}

TEST(CommandLine, MissingFileExitsTwo)
{
    RunResult R = RunTool({"no-such-scenario.kvs"});
    EXPECT_EQ(R.Status, ExitUsage);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err.rfind("no-such-scenario.kvs: cannot open", 0), 0u) << R.Err;
}

TEST(CommandLine, BadScenarioLineExitsTwoWithFileAndLineAndRunsNothing)
{
    const char *Path = "bad-line.kvs";
    std::ofstream(Path) << "plug ABCD 1000 SER001\nwait 1000\nframe mode three\n";
    RunResult R = RunTool({"--json", Path});
    EXPECT_EQ(R.Status, ExitUsage);
    EXPECT_EQ(R.Out, "") << "nothing may run before the whole file is read";
    EXPECT_EQ(R.Err, "bad-line.kvs:3: bad mode 'three': expected a decimal or 0x-hex number\n");

    R = RunTool({"-"}, "wait 1\nexpect reg\n");
    EXPECT_EQ(R.Status, ExitUsage);
    EXPECT_EQ(R.Err.rfind("<stdin>:2: usage: expect reg", 0), 0u) << R.Err;
}

TEST(CommandLine, FailedExpectExitsOneAndTheRunGoesOn)
{
    RunResult R = RunTool({"--json", "-"}, "# line 1\n"
                                           "expect reg DeviceInfo 0102\n"
                                           "ioctl QueryWideModel out=1\n"
                                           "expect ioctl 0 info=1 out=00\n"
                                           "expect ioctl 122\n");
    EXPECT_EQ(R.Status, ExitExpectFailed);
    EXPECT_NE(R.Out.find("\"ev\":\"expect\",\"ok\":false,\"line\":2,"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("\"ev\":\"expect\",\"ok\":true,\"line\":4,"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("\"ev\":\"expect\",\"ok\":false,\"line\":5,"), std::string::npos) << R.Out;
    EXPECT_NE(R.Err.find("<stdin>:2: expect failed: reg DeviceInfo: expected 0102, found"),
              std::string::npos)
        << R.Err;
    EXPECT_NE(R.Err.find("<stdin>:5: expect failed: expected ioctl status 122, found status 0"),
              std::string::npos)
        << R.Err;
}

TEST(CommandLine, PassingScenarioExitsZeroInBothForms)
{
    const std::string Text = "ioctl QueryDisplayMode out=6\n"
                             "expect ioctl 0 info=6 out=2003580218cc\n";
    RunResult Json = RunTool({"--json", "-"}, Text);
    EXPECT_EQ(Json.Status, ExitOk) << Json.Err;
    EXPECT_EQ(Json.Out.rfind("{\"t\":0,\"ev\":\"boot\",\"status\":0}\n", 0), 0u) << Json.Out;
    RunResult Timeline = RunTool({"-"}, Text);
    EXPECT_EQ(Timeline.Status, ExitOk) << Timeline.Err;
    EXPECT_NE(Timeline.Out.find("QueryDisplayMode 0x234018 -> 0 info 6 out 2003580218cc"),
              std::string::npos)
        << Timeline.Out;
}

TEST(CommandLine, SameScenarioGivesTheSameBytes)
{
    RunResult First = RunTool({"--json"});
    RunResult Second = RunTool({"--json"});
    EXPECT_EQ(First.Status, ExitOk) << First.Err;
    EXPECT_FALSE(First.Out.empty());
    EXPECT_EQ(First.Out, Second.Out);
}

TEST(CommandLine, BuiltInScenarioIsTheTypicalRoadFile)
{
    std::ifstream F(KVRSIM_SCENARIO_DIR "/typical-road.kvs", std::ios::binary);
    ASSERT_TRUE(F);
    std::stringstream Text;
    Text << F.rdbuf();
    EXPECT_EQ(Text.str(), BuiltInScenario());
}

TEST(CommandLine, HelpListsEveryCommand)
{
    RunResult R = RunTool({"--help"});
    EXPECT_EQ(R.Status, ExitOk);
    for (const CommandHelp &C : CommandTable())
        EXPECT_NE(R.Out.find(C.Syntax), std::string::npos) << C.Syntax;
}

TEST(CommandLine, IdsIsOneJsonObjectOfTheTables)
{
    RunResult R = RunTool({"ids"});
    EXPECT_EQ(R.Status, ExitOk);
    const std::string &J = R.Out;
    ASSERT_FALSE(J.empty());
    EXPECT_EQ(J.back(), '\n');
    EXPECT_EQ(J.find('\n'), J.size() - 1) << "one line";
    // Keys in order, and the lists with their counts of four-character texts.
    size_t Vendor = J.find("{\"vendor\":\""), Lower = J.find(",\"vendor_lower\":\""),
           Monitor = J.find(",\"monitor\":["), Alt = J.find(",\"alt\":["),
           Guarded = J.find(",\"guarded\":\""), Wide = J.find(",\"wide\":[");
    ASSERT_EQ(Vendor, 0u);
    ASSERT_LT(Lower, Monitor);
    ASSERT_LT(Monitor, Alt);
    ASSERT_LT(Alt, Guarded);
    ASSERT_LT(Guarded, Wide);
    auto Count = [&](size_t From, size_t To) {
        std::string Part = J.substr(From, To - From);
        size_t N = 0;
        for (size_t P = Part.find("\""); P != std::string::npos; P = Part.find("\"", P + 1))
            ++N;
        return (N - 2) / 2; // minus the key's own quotes
    };
    EXPECT_EQ(Count(Monitor, Alt), 22u);
    EXPECT_EQ(Count(Alt, Guarded), 22u);
    EXPECT_EQ(Count(Wide, J.size()), 3u);
    std::string Upper = J.substr(11, 4), LowerText = J.substr(Lower + 17, 4);
    for (char &C : Upper)
        C = char(std::tolower((unsigned char)C));
    EXPECT_EQ(Upper, LowerText);
}

} // namespace
} // namespace kvrsim
