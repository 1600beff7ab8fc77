// kvrsim's command line and the exit statuses of a run on the simulated
// kernel.

#include "cli.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace kvrsim
{
namespace
{

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
                             "expect ioctl 0 info=6 out=200358021800\n";
    RunResult Json = RunTool({"--json", "-"}, Text);
    EXPECT_EQ(Json.Status, ExitOk) << Json.Err;
    EXPECT_EQ(Json.Out.rfind("{\"t\":0,\"ev\":\"boot\",\"status\":0}\n", 0), 0u) << Json.Out;
    RunResult Timeline = RunTool({"-"}, Text);
    EXPECT_EQ(Timeline.Status, ExitOk) << Timeline.Err;
    EXPECT_NE(Timeline.Out.find("QueryDisplayMode 0x234018 -> 0 info 6 out 200358021800"),
              std::string::npos)
        << Timeline.Out;
}

TEST(CommandLine, QuietRunKeepsExpectsAndFindingsButNoEvents)
{
    const std::string Text = "plug ABCD 1000 FR0001A7C2\n"
                             "wait 2000\n"
                             "expect reg DeviceInfo 0800\n"
                             "expect reg DeviceStatus 00000000000000000000000000000000\n";
    RunResult Quiet = RunTool({"--json", "--quiet", "-"}, Text);
    EXPECT_EQ(Quiet.Status, ExitExpectFailed);
    EXPECT_EQ(Quiet.Out.find("\"ev\":\"reg\""), std::string::npos) << Quiet.Out;
    EXPECT_EQ(Quiet.Out.find("\"ev\":\"request\""), std::string::npos) << Quiet.Out;
    EXPECT_NE(Quiet.Out.find("{\"t\":2000,\"ev\":\"expect\",\"ok\":true,\"line\":3"),
              std::string::npos)
        << Quiet.Out;
    EXPECT_NE(Quiet.Err.find("<stdin>:4: expect failed"), std::string::npos) << Quiet.Err;

    // The same run, printed in full, reaches the same registry state.
    RunResult Full = RunTool({"--json", "-"}, Text);
    EXPECT_EQ(Full.Status, ExitExpectFailed);
    EXPECT_NE(Full.Out.find("\"ev\":\"reg\""), std::string::npos) << Full.Out;
    EXPECT_EQ(Full.Err, Quiet.Err);
}

TEST(CommandLine, BootCommandLoadsTheDriverWhereItStands)
{
    RunResult Early = RunTool({"--json", "-"}, "wait 1\n");
    EXPECT_EQ(Early.Out.rfind("{\"t\":0,\"ev\":\"boot\",\"status\":0}\n", 0), 0u) << Early.Out;

    RunResult Late = RunTool({"--json", "-"}, "reg set TrayPre dword 1\nwait 100\nboot\nwait 1\n");
    EXPECT_EQ(Late.Status, ExitOk) << Late.Err;
    EXPECT_EQ(Late.Out.rfind("{\"t\":100,\"ev\":\"boot\",\"status\":0}\n", 0), 0u) << Late.Out;
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

TEST(CommandLine, TargetIsSevenOrVista)
{
    for (const char *Target : {"7", "vista"}) {
        RunResult R = RunTool({"--target", Target, "-"}, "wait 1000\n");
        EXPECT_EQ(R.Status, ExitOk) << Target << R.Err;
    }
    for (std::vector<std::string> Args :
         {std::vector<std::string>{"--target", "8", "-"}, std::vector<std::string>{"--target"}}) {
        RunResult R = RunTool(Args, "wait 1\n");
        EXPECT_EQ(R.Status, ExitUsage);
        EXPECT_NE(R.Err.find("--target takes 7 or vista"), std::string::npos) << R.Err;
    }
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
