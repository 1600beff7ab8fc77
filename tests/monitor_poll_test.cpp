// The polling step on the virtual clock: the request rhythm from the mode
// requests through panel refresh to input polling, requests left pending or
// failing, modes the polling does not act on, a registry that never takes a
// publication, and replies that arrive after the turn has moved on.

#include "monitor_fixture.h"

#include <algorithm>

using namespace kvrtest;
using namespace montest;

namespace
{

using MonitorPollTest = MonitorTest;

std::vector<std::string> RequestsOnly(const std::vector<std::string> &Lines)
{
    std::vector<std::string> Requests;
    std::copy_if(Lines.begin(), Lines.end(), std::back_inserter(Requests),
                 [](const std::string &Line) {
                     return Line.find(" cmd") != std::string::npos ||
                            Line.find(" nobuild") != std::string::npos;
                 });
    return Requests;
}

TEST_F(MonitorPollTest, RhythmFromModeRequestsToInputPolling)
{
    sim::SetFrameMode(2);
    sim::SetFramePanel(8, 0x11);
    sim::SetFrameInput(0, 0);
    size_t From = Mark();
    AttachAt500();
    sim::AdvanceTo(800);
    sim::SetFrameMode(3);
    sim::AdvanceTo(1600);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::AdvanceTo(2600);
    sim::SetFrameInput(1, 9);
    sim::AdvanceTo(12600);
    sim::SetFrameInput(0, 0);
    sim::AdvanceTo(13300);

    std::vector<std::string> Expected;
    Published(Expected, 250);                     // end of the first turn
    Expected.push_back("250 DeviceStatus");       // the arrival
    Expected.push_back("500 open");               // after the 250 ms wait
    Expected.push_back("750 cmd4");               // mode 2
    Expected.push_back("750 cmd1");               // a mode-2 turn: panel, publish,
    Published(Expected, 750);                     // wait,
    Expected.push_back("1000 cmd4");              // mode request (now 3)
    for (int64_t t = 1000; t <= 1500; t += 250) { // panel refresh every 250 ms
        Expected.push_back(At(t, "cmd1"));
        Published(Expected, t);
    }
    for (int64_t t = 1750; t <= 2750; t += 500) { // client active: input every 500 ms
        Expected.push_back(At(t, "cmd6"));
        Published(Expected, t);
    }
    for (int64_t t = 3250; t <= 12250; t += 500) // input pending: 19 quiet turns
        Published(Expected, t);
    Expected.push_back("12750 cmd7"); // the 20th
    Published(Expected, 12750);
    Expected.push_back("13250 cmd6"); // pending cleared: back to command 6
    Published(Expected, 13250);
    EXPECT_EQ(Timeline(From), Expected);

    // What the publications carried.
    std::vector<std::vector<uint8_t>> Info = WrittenSince(From, "DeviceInfo");
    std::vector<std::vector<uint8_t>> StatusWrites = WrittenSince(From, "DeviceStatus");
    EXPECT_EQ(Info.at(1), (std::vector<uint8_t>{8, 0x11})); // 750
    EXPECT_EQ(StatusWrites.at(2), Status(1, 2, 0, 0, 0));   // 750
    EXPECT_EQ(StatusWrites.at(3), Status(1, 3, 0, 0, 0));   // 1000
    EXPECT_EQ(StatusWrites.at(8), Status(1, 3, 0, 0, 1));   // 2750
    EXPECT_EQ(StatusWrites.back(), Status(1, 3, 0, 0, 0));

    // Every request: the same code and 8-byte block, the command in byte 3,
    // the reply length of its command.
    for (const sim::PeerRequest &Request : sim::PeerRequests()) {
        EXPECT_EQ(Request.Code, sim::PeerIoctlCode);
        EXPECT_EQ(Request.InputLength, 8u);
        EXPECT_EQ(Request.Block, (std::array<uint8_t, 8>{1, 2, 0, Request.Command, 0, 0, 0, 0}));
        EXPECT_EQ(Request.OutputLength, Request.Command == 4 ? 1u : 2u);
    }
}

TEST_F(MonitorPollTest, InputCountSurvivesPanelRefreshTurns)
{
    sim::SetFrameMode(3);
    sim::SetFrameInput(1, 0);
    AttachAt500();
    sim::AdvanceTo(800);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    // Command 6 at 1000 sets InputPending; the count is 7 after the turn at
    // 4500.
    sim::AdvanceTo(4600);
    sim::SetPowerState(VideoPowerOff);
    size_t From = Mark();
    sim::AdvanceTo(5600);
    sim::SetPowerState(VideoPowerOn);
    ASSERT_EQ(Query(IoctlQueryPowerOff, 1).Status, NO_ERROR);
    ASSERT_EQ(KVR_STATE(PoweredOff).Load(), 0);
    sim::SetFrameInput(0, 0);
    sim::AdvanceTo(12300);

    // Three panel-refresh turns while powered off, then input polling
    // resumes at count 8: the 20th comes 13 turns later.
    EXPECT_EQ(RequestsOnly(Timeline(From)),
              (std::vector<std::string>{"5000 cmd1", "5250 cmd1", "5500 cmd1", "11750 cmd7",
                                        "12250 cmd6"}));
}

// Input that stays pending: command 7 on every 20th turn, each time counted
// afresh from the last one, and every turn in between publishes and waits
// 500 ms without a request.
TEST_F(MonitorPollTest, InputStayingPendingIsAskedForEveryTwentiethTurn)
{
    sim::SetFrameMode(3);
    sim::SetFrameInput(1, 0);
    AttachAt500();
    sim::AdvanceTo(800);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    size_t From = Mark();
    // Command 6 at 1000 sets InputPending; turns 20, 40 and 60 after it send
    // command 7, whose replies keep it set; the one of turn 80 clears it.
    sim::AdvanceTo(31100);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 1);
    sim::SetFrameInput(0, 0);
    sim::AdvanceTo(41600);

    std::vector<std::string> Expected = {"1000 cmd6",  "11000 cmd7", "21000 cmd7",
                                         "31000 cmd7", "41000 cmd7", "41500 cmd6"};
    EXPECT_EQ(RequestsOnly(Timeline(From)), Expected);

    // One publication a turn, every 500 ms, through the quiet turns too.
    std::vector<std::vector<uint8_t>> StatusWrites = WrittenSince(From, "DeviceStatus");
    ASSERT_EQ(StatusWrites.size(), 82u); // turns at 1000, 1500, ..., 41500
    for (size_t Turn = 0; Turn < 80; ++Turn)
        EXPECT_EQ(StatusWrites[Turn], Status(1, 3, 0, 0, 1)) << "turn " << Turn;
    EXPECT_EQ(StatusWrites[80], Status(1, 3, 0, 0, 0));
    int64_t LongWaits =
        std::count_if(sim::Waits().begin(), sim::Waits().end(),
                      [](const sim::WaitRecord &Wait) { return Wait.Interval == -5000000; });
    EXPECT_EQ(LongWaits, 82);
}

TEST_F(MonitorPollTest, DetachedTurnsOnlyWait)
{
    size_t From = Mark();
    sim::AdvanceTo(2000);
    std::vector<std::string> Expected;
    Published(Expected, 250);
    EXPECT_EQ(Timeline(From), Expected);
    ASSERT_EQ(sim::Waits().size(), 9u); // 0, 250, ..., 2000
    for (size_t i = 0; i < sim::Waits().size(); ++i) {
        EXPECT_EQ(sim::Waits()[i].Time, int64_t(i) * 250 * sim::TicksPerMs);
        EXPECT_EQ(sim::Waits()[i].Interval, -2500000);
        EXPECT_TRUE(sim::Waits()[i].Delay);
    }
}

// A panel request left pending gets the provisional PanelType 1 / PanelAux 0
// only while the frame has not answered command 1 since it was attached;
// after a real reply, a pending request leaves that reply in place, so the
// display mode and DeviceInfo stay true. Each case: how the sibling answers
// from the attachment on, and what the record and the DeviceInfo written
// between 800 and 1100 ms hold.
TEST_F(MonitorPollTest, PendingPanelRequestIsProvisionalOnlyUntilTheFirstReply)
{
    struct Case {
        const char *Name;
        sim::Completion FromAttach;   // how the sibling answers from 500 ms on
        bool CompleteBefore800;       // the harness completes what is pending at 800
        std::vector<uint8_t> At1100;  // DeviceInfoRecord after the 1000 ms turn
        std::vector<uint8_t> Written; // the DeviceInfo written at 1000 ms
    };
    const Case Cases[] = {
        // Answered at once at 750, pending from then on: the reply stays.
        {"answered, then pending", sim::Completion::Now, false, {8, 0x22}, {8, 0x22}},
        // Pending from the first request, never answered: provisional.
        {"never answered", sim::Completion::Pending, false, {1, 0}, {1, 0}},
        // Pending from the first request, completed late at 800: the reply
        // seen at the next turn stays though that turn's request pends.
        {"answered late", sim::Completion::Pending, true, {8, 0x22}, {8, 0x22}},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        SetUp();
        sim::SetFrameMode(3);
        sim::SetFramePanel(8, 0x22);
        sim::SetPeerCompletion(C.FromAttach);
        KVR_STATE(DeviceStatusRecord).DeviceMode.Store(3); // no mode request needed
        AttachAt500();
        sim::AdvanceTo(800);
        if (C.CompleteBefore800)
            sim::CompletePeerRequests();
        sim::SetPeerCompletion(sim::Completion::Pending);
        size_t From = Mark();
        sim::AdvanceTo(1100);
        EXPECT_EQ(InfoBytes(), C.At1100);
        EXPECT_EQ(WrittenSince(From, "DeviceInfo"), (std::vector<std::vector<uint8_t>>{C.Written}));
        EXPECT_EQ(KVR_STATE(DeviceStatusRecord).LinkState.Load(), 1);
        sim::IoctlResult Mode = Query(IoctlQueryDisplayMode, DisplayModeReplySize);
        ASSERT_EQ(Mode.Output.size(), 6u);
        bool Real = C.At1100[0] == 8;
        EXPECT_EQ(Mode.Output[2] | Mode.Output[3] << 8, Real ? 480 : 600);
        TearDown();
    }
}

// A new attachment starts without a reply: its first pending request is
// provisional again, and the sibling's late completion then lands in the
// record.
TEST_F(MonitorPollTest, ProvisionalValuesComeBackAfterANewAttachment)
{
    sim::SetFrameMode(3);
    sim::SetFramePanel(8, 0x22);
    AttachAt500();
    sim::AdvanceTo(800);
    ASSERT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0x22}));
    Remove(MonitorId());
    sim::AdvanceTo(1100);
    ASSERT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    sim::SetPeerCompletion(sim::Completion::Pending);
    Arrive(MonitorId());
    sim::AdvanceTo(1850); // 1250: taken, 1500: open, 1750: mode 4 pends
    KVR_STATE(DeviceStatusRecord).DeviceMode.Store(3);
    sim::AdvanceTo(2100); // 2000: the panel request pends
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{1, 0}));
    sim::CompletePeerRequests();
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0x22}));
}

TEST_F(MonitorPollTest, ModeRequestFailingOrPendingAndLateReplies)
{
    sim::SetFrameMode(2);
    AttachAt500();
    // A failed request still leaves the frame's bytes in the site's reply
    // byte: here 0, which the byte held before.
    sim::SetFrameMode(0);
    sim::SetPeerCompletion(sim::Completion::Fail);
    sim::AdvanceTo(1100);
    // A failed request leaves DeviceMode; the next turn asks again.
    EXPECT_EQ(RequestsOnly(Timeline(0)), (std::vector<std::string>{"750 cmd4", "1000 cmd4"}));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    for (const sim::PeerRequest &Request : sim::PeerRequests())
        EXPECT_LT(Request.Status, 0);

    // Pending: DeviceMode takes the site's reply byte as it stands, which
    // starts at 0 ...
    sim::SetPeerCompletion(sim::Completion::Pending);
    size_t From = Mark();
    sim::AdvanceTo(1300);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    // ... and holds the previous reply once the sibling driver has written
    // it, after the turn moved on.
    sim::SetFrameMode(2);
    ASSERT_EQ(sim::CompletePeerRequests(), 1u);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    sim::AdvanceTo(1600);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 2);
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{1, 0})); // mode-2 turn at 1500, pending

    // The mode-2 turn's request has a reply byte of its own, never written
    // yet: at 1750 DeviceMode falls back to 0. The other site's request of
    // 1500 is still outstanding, so the 2000 turn sends nothing from it and
    // leaves DeviceMode as it is.
    sim::AdvanceTo(1800);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    sim::AdvanceTo(2100);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    EXPECT_EQ(sim::PendingPeerRequests(), 3u);

    sim::SetFrameMode(3);
    EXPECT_EQ(sim::CompletePeerRequests(), 3u); // 1500 cmd4 and cmd1, 1750 cmd4
    sim::AdvanceTo(2300);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 3); // 2250, the other site again
    EXPECT_EQ(RequestsOnly(Timeline(From)),
              (std::vector<std::string>{"1250 cmd4", "1500 cmd4", "1500 cmd1", "1750 cmd4",
                                        "2250 cmd4", "2250 cmd1"}));
}

// A failed mode request leaves DeviceMode even when the site's reply byte
// still holds another mode from an earlier answer.
TEST_F(MonitorPollTest, FailedModeRequestIgnoresAnEarlierReplyInItsByte)
{
    sim::SetFrameMode(2);
    AttachAt500();
    // 750: the other site's byte gets 2; 1000: the mode-2 site's gets 0.
    sim::AdvanceTo(800);
    sim::SetFrameMode(0);
    sim::AdvanceTo(1100);
    ASSERT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
    sim::SetPeerCompletion(sim::Completion::Fail);
    size_t From = Mark();
    sim::AdvanceTo(1600);

    EXPECT_EQ(RequestsOnly(Timeline(From)), (std::vector<std::string>{"1250 cmd4", "1500 cmd4"}));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 0);
}

// Publications fail until the registry recovers in the middle of a
// panel-refresh turn's retries: that publication counts, and the turn ends
// without the extra one.
TEST_F(MonitorPollTest, PanelRefreshPublicationEndsTheExtraPublications)
{
    sim::FailRegistryValueWrites("DeviceInfo");
    sim::SetFrameMode(3);
    sim::AdvanceTo(100);
    Arrive(MonitorId());
    // As in PublicationNeverSucceeding: the panel refresh at 10750 starts
    // its retries.
    sim::AdvanceTo(10800);
    sim::ClearRegistryFaults();
    size_t From = Mark();
    sim::AdvanceTo(11200);

    std::vector<std::string> Expected;
    Published(Expected, 10850);
    Expected.push_back("11100 cmd1");
    Published(Expected, 11100);
    EXPECT_EQ(Timeline(From), Expected);
}

class UnhandledModeTest : public MonitorTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(UnhandledModeTest, WaitThenAskForTheModeAgain)
{
    UCHAR Mode = UCHAR(GetParam());
    sim::SetFrameMode(Mode);
    sim::SetFramePanel(8, 1);
    AttachAt500();
    size_t From = Mark();
    sim::AdvanceTo(2000);

    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"750 cmd4", "1000 cmd4", "1250 cmd4",
                                                        "1500 cmd4", "1750 cmd4", "2000 cmd4"}));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), Mode);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).LinkState.Load(), 0);
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Modes, UnhandledModeTest, ::testing::Values(0, 1, 4, 255));

TEST_F(MonitorPollTest, RequestNotBuiltSkipsOnlyTheRequest)
{
    sim::SetFrameMode(3);
    sim::SetFramePanel(8, 0x22);
    AttachAt500();
    sim::AdvanceTo(800);
    KVR_STATE(DeviceStatusRecord).LinkState.Store(0);
    KVR_STATE(DeviceInfoRecord).PanelType.Store(5);
    sim::FailNextRequestBuilds(1);
    size_t From = Mark();
    sim::AdvanceTo(1250);

    std::vector<std::string> Expected = {"1000 nobuild"};
    Published(Expected, 1000);
    Expected.push_back("1250 cmd1");
    Published(Expected, 1250);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(WrittenSince(From, "DeviceInfo").at(0), (std::vector<uint8_t>{5, 0x22}));
    EXPECT_EQ(WrittenSince(From, "DeviceStatus").at(0), Status(1, 3, 0, 0, 0));
}

TEST_F(MonitorPollTest, PublicationNeverSucceeding)
{
    sim::FailRegistryValueWrites("DeviceInfo");
    sim::SetFrameMode(3);
    size_t From = Mark();
    sim::AdvanceTo(100);
    Arrive(MonitorId());
    sim::AdvanceTo(20000);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::AdvanceTo(31500);

    // 51 attempts of DeviceInfo, 100 ms apart; DeviceStatus never follows.
    std::vector<std::string> Expected;
    auto FailedPublication = [&](int64_t t) {
        for (int64_t k = 0; k <= 50; ++k)
            Expected.push_back(At(t + 100 * k, "DeviceInfo failed"));
    };
    FailedPublication(250); // end of the first turn
    Expected.push_back("5250 DeviceStatus");
    Expected.push_back("5500 open");
    Expected.push_back("5750 cmd4");
    FailedPublication(5750); // end of turn: PublishedOnce is still clear
    Expected.push_back("10750 cmd1");
    FailedPublication(10750); // panel refresh
    FailedPublication(16000); // end of turn
    Expected.push_back("21000 cmd6");
    FailedPublication(21000); // input polling, result unused
    FailedPublication(26500); // end of turn
    Expected.push_back("31500 cmd6");
    Expected.push_back("31500 DeviceInfo failed");
    EXPECT_EQ(Timeline(From), Expected);

    int64_t Waits100 =
        std::count_if(sim::Waits().begin(), sim::Waits().end(),
                      [](const sim::WaitRecord &Wait) { return Wait.Interval == -1000000; });
    EXPECT_EQ(Waits100, 6 * 50 + 1); // the last publication has begun its first wait
}

TEST_F(MonitorPollTest, InputReplyCompletedLateIsTakenAtTheNextRequest)
{
    sim::SetFrameMode(3);
    sim::SetFrameInput(0, 0);
    AttachAt500();
    sim::AdvanceTo(800);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::AdvanceTo(1100);
    // Command 6 at 1000 is pending: InputPending takes the buffer as it was.
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 0);

    sim::SetFrameInput(1, 7);
    ASSERT_EQ(sim::CompletePeerRequests(), 1u);
    EXPECT_EQ(KVR_STATE(InputReply)[0].Load(), 1);
    EXPECT_EQ(KVR_STATE(InputReply)[1].Load(), 7);
    size_t From = Mark();
    sim::AdvanceTo(2600);

    // The next command 6 is pending too, but the buffer already holds the
    // late reply: input is pending from 1500 on, and no request follows.
    EXPECT_EQ(RequestsOnly(Timeline(From)), (std::vector<std::string>{"1500 cmd6"}));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 1);
}

} // namespace
