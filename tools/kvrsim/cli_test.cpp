// kvrsim's command line and the exit statuses of a run on the simulated
// kernel.

#include "cli.h"
#include "runner.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <malloc.h>

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
    for (auto Args : {std::vector<std::string>{"--verbose"},
                      {"a.kvs", "b.kvs"},
                      {"ids", "x"},
                      {"--display-image"}}) {
        RunResult R = RunTool(Args);
        EXPECT_EQ(R.Status, ExitUsage);
        EXPECT_EQ(R.Out, "");
        EXPECT_NE(R.Err.find("usage: kvrsim"), std::string::npos) << R.Err;
    }
}

TEST(CommandLine, DisplayImageThatCannotBeUsedExitsTwoSayingWhy)
{
    RunResult R = RunTool({"--display-image", "no-such-kvrdisplay.dll"});
    EXPECT_EQ(R.Status, ExitUsage);
    EXPECT_EQ(R.Out, "");
    EXPECT_NE(R.Err.find("kvrsim: "), std::string::npos) << R.Err;
    EXPECT_FALSE(sim::DisplayImageInUse());
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

// The closing summary counts what happened whether or not the events were
// printed, and says so in both forms; a transcript without its closing event
// was cut short.
TEST(CommandLine, ClosingSummaryCountsRequestsWritesExpectsAndFindings)
{
    const std::string Text = "frame reply pending\n"
                             "plug ABCD 1000 FR0001A7C2\n"
                             "wait 1000\n"      // mode request pending at 750, busy at 1000
                             "frame complete\n" // ... and completed late
                             "frame reply now\n"
                             "reg fail write 2\n" // DeviceInfo 0800 refused twice, then stored
                             "wait 500\n"
                             "expect requests 0\n"
                             "expect reg DeviceInfo 0102\n";
    const std::string End =
        "{\"t\":1500,\"ev\":\"end\",\"expects\":{\"held\":1,\"failed\":1},\"requests\":["
        "{\"cmd\":1,\"sent\":1,\"pending\":0,\"failed\":0,\"nobuild\":0,\"late\":0,\"busy\":0},"
        "{\"cmd\":4,\"sent\":2,\"pending\":1,\"failed\":0,\"nobuild\":0,\"late\":1,\"busy\":1}],"
        "\"reg\":{\"changes\":4,\"rewrites\":1,\"refused\":2},\"findings\":0}\n";
    for (auto Args : {std::vector<std::string>{"--json", "-"},
                      {"--json", "--quiet", "-"},
                      {"--json", "--changes", "-"}}) {
        RunResult R = RunTool(Args, Text);
        EXPECT_EQ(R.Status, ExitExpectFailed) << Args[1];
        ASSERT_GE(R.Out.size(), End.size());
        EXPECT_EQ(R.Out.substr(R.Out.size() - End.size()), End) << Args[1] << "\n" << R.Out;
    }

    RunResult Timeline = RunTool({"-"}, Text);
    for (const char *Line : {"1000 ms  busy     mode (command 4) still outstanding: not sent\n",
                             "1000 ms  complete mode (command 4) -> 0x00000000 success\n",
                             "1250 ms  reg      product DeviceInfo binary 0800 (panel 8, aux 0) "
                             "REFUSED\n",
                             "end      expects: 1 held, 1 failed\n",
                             "end      requests: panel (command 1) 1 sent; mode (command 4) 2 "
                             "sent, 1 pending, 1 completed late, 1 skipped busy\n",
                             "end      registry writes: 4 changes, 1 unchanged rewrite, 2 "
                             "refused\n",
                             "end      1 failure\n"})
        EXPECT_NE(Timeline.Out.find(Line), std::string::npos) << Line << Timeline.Out;

    // No expects is not "every expect held".
    RunResult None = RunTool({"-"}, "wait 300\n");
    EXPECT_EQ(None.Status, ExitOk);
    EXPECT_EQ(None.Out.find("every expect held"), std::string::npos) << None.Out;
    EXPECT_NE(None.Out.find("end      no expects; no verifier finding\n"), std::string::npos)
        << None.Out;
}

// The changes-only view: unchanged rewrites named on one line, identical
// turns counted on one; what changed still printed in full.
TEST(CommandLine, ChangesViewCollapsesRewritesAndIdenticalTurns)
{
    const std::string Text = "plug ABCD 1000 FR0001A7C2\nwait 10000\nframe panel 9 0\nwait 1000\n";
    RunResult Full = RunTool({"-"}, Text);
    RunResult Changes = RunTool({"--changes", "-"}, Text);
    EXPECT_EQ(Changes.Status, ExitOk);
    EXPECT_NE(Changes.Out.find("1500 ms  same     DeviceInfo DeviceStatus rewritten unchanged\n"),
              std::string::npos)
        << Changes.Out;
    EXPECT_NE(Changes.Out.find("10000 ms  repeat   34 identical turns from 1750 ms\n"),
              std::string::npos)
        << Changes.Out;
    EXPECT_NE(Changes.Out.find("reg      product DeviceInfo binary 0900 (panel 9, aux 0)\n"),
              std::string::npos)
        << Changes.Out;
    EXPECT_EQ(Changes.Out.find(") unchanged\n"), std::string::npos) << Changes.Out;
    EXPECT_LT(Changes.Out.size() * 2, Full.Out.size());
}

// An output that counts what it is given and keeps none of it.
class CountingBuffer : public std::streambuf
{
  public:
    size_t Bytes = 0;

  protected:
    int overflow(int C) override
    {
        ++Bytes;
        return C;
    }
    std::streamsize xsputn(const char *, std::streamsize N) override
    {
        Bytes += size_t(N);
        return N;
    }
};

// Events are printed as they come and kept nowhere: a traced hour, which
// prints some megabytes, leaves the heap as a traced minute leaves it.
TEST(CommandLine, TracedRunKeepsNoEvents)
{
    auto Run = [](const char *Wait, size_t &Printed) {
        Scenario S;
        EXPECT_FALSE(ParseScenario(std::string("plug ABCD 1000 FR0001A7C2\nwait ") + Wait, S));
        S.FileName = "memory.kvs";
        CountingBuffer Buffer;
        std::ostream Out(&Buffer);
        std::ostringstream Err;
        EXPECT_EQ(RunScenario(S, RunOptions{}, Out, Err), 0) << Err.str();
        Printed = Buffer.Bytes;
        return mallinfo2().uordblks; // the kernel keeps its state until the next run
    };
    if (mallinfo2().uordblks == 0)
        GTEST_SKIP() << "this allocator (a sanitizer's) does not report its heap";
    size_t MinuteBytes = 0, HourBytes = 0;
    Run("3600000", HourBytes); // leaves the storage that later kernels reuse
    size_t Minute = Run("60000", MinuteBytes);
    size_t Hour = Run("3600000", HourBytes);
    EXPECT_GT(HourBytes, 50 * MinuteBytes);
    EXPECT_LT(Hour, Minute + 128 * 1024)
        << "a minute left " << Minute << " bytes, an hour " << Hour;
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
