// A frame that stops answering: every request site keeps at most one
// request outstanding, a busy site's turn goes on as for a request that could
// not be built, and polling resumes at the next turn once the frame answers.
// Each command is sent from a site of its own.

#include "monitor_fixture.h"

#include <map>
#include <set>
#include <utility>

#include "driver/monitor/monitor.h"

using namespace kvrtest;
using namespace montest;

namespace
{

class StalledFrameTest : public MonitorTest
{
  protected:
    // Requests sent since Mark, as "<ms> cmd<N>".
    std::vector<std::string> Requests(size_t From)
    {
        std::vector<std::string> Lines;
        for (const std::string &Line : Timeline(From)) {
            if (Line.find(" cmd") != std::string::npos)
                Lines.push_back(Line);
        }
        return Lines;
    }

    // Attached in mode 3 with panel refresh running; from now on the frame
    // leaves every request pending.
    void AttachInMode3ThenStall()
    {
        sim::SetFrameMode(3);
        AttachAt500();
        sim::AdvanceTo(1000); // 750: mode 3; 750 and 1000: panel refresh
        sim::SetPeerCompletion(sim::Completion::Pending);
    }
};

// The six request sites, as the polling step uses them: command 1 in mode 3
// and in mode 2, command 4 in mode 2 and in the other modes, commands 6 and
// 7. Every request of one of them carries that site's completion event and
// status record, and no two of them share one: a command sent from another
// command's site would share its one outstanding request, so a frame that
// stalls one command would silence the other. The frame is driven through
// every mode and both input polls, and each request is tagged with the mode
// the driver held when it was sent.
TEST_F(StalledFrameTest, EachCommandIsSentFromASiteOfItsOwn)
{
    using Site = std::pair<const void *, const void *>; // event, status record
    std::map<std::string, std::set<Site>> Sites;        // "cmd<N> mode <M>"
    size_t Seen = 0;
    auto Tag = [&] {
        const std::vector<sim::PeerRequest> &Sent = sim::PeerRequests();
        for (; Seen < Sent.size(); ++Seen) {
            UCHAR Mode = KVR_STATE(DeviceStatusRecord).DeviceMode.Load();
            UCHAR Command = Sent[Seen].Command;
            bool ByMode = Command == PeerCommandPanel || Command == PeerCommandMode;
            std::string Kind = "cmd" + std::to_string(Command);
            if (ByMode)
                Kind += Mode == 2 || Mode == 3 ? " mode " + std::to_string(Mode) : " other mode";
            Sites[Kind].insert({Sent[Seen].Event, Sent[Seen].StatusRecord});
        }
    };
    sim::SetTraceObserver([&](const sim::TraceEvent &Event) {
        if (Event.Kind == sim::TraceKind::Request)
            Tag();
    });

    sim::SetPeerCompletion(sim::Completion::Now);
    sim::SetFrameMode(5); // a mode the polling does not act on
    AttachAt500();
    sim::AdvanceTo(1500);
    sim::SetFrameMode(2);
    sim::AdvanceTo(2500);
    sim::SetFrameMode(3);
    sim::AdvanceTo(3500);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::AdvanceTo(4500);
    sim::SetFrameInput(1, 0); // input pending: command 7 every 20th turn
    sim::AdvanceTo(16000);
    sim::SetTraceObserver(nullptr);

    std::set<Site> Distinct;
    for (const auto &[Kind, Used] : Sites) {
        EXPECT_EQ(Used.size(), 1u) << Kind << " is sent from more than one site";
        Distinct.insert(Used.begin(), Used.end());
    }
    EXPECT_EQ(Sites.size(), 6u) << "every site was used";
    EXPECT_EQ(Distinct.size(), Sites.size()) << "two commands share a site";
}

TEST_F(StalledFrameTest, PendingPanelRequestKeepsItsSiteBusyUntilItCompletes)
{
    AttachInMode3ThenStall();
    size_t From = Mark();
    sim::AdvanceTo(2000);

    // One panel request, pending after real replies: the record keeps the
    // last one (8 0). The later
    // turns send nothing, and still mark the link, publish and wait 250 ms.
    std::vector<std::string> Expected;
    Expected.push_back("1250 cmd1");
    Published(Expected, 1250);
    for (int64_t t = 1500; t <= 2000; t += 250)
        Published(Expected, t);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0}));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).LinkState.Load(), 1);
    EXPECT_EQ(sim::PendingPeerRequests(), 1u);

    // The frame answers: its panel lands in the record, and the next turn
    // sends again; pending again, it leaves the reply in place.
    sim::SetFramePanel(8, 0);
    ASSERT_TRUE(sim::CompleteOldestPeerRequest());
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0}));
    From = Mark();
    sim::AdvanceTo(2300);
    EXPECT_EQ(Requests(From), (std::vector<std::string>{"2250 cmd1"}));
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0}));
}

TEST_F(StalledFrameTest, EachSiteHasItsOwnRequestAndEvent)
{
    AttachInMode3ThenStall();
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::AdvanceTo(1300); // 1250: the input poll, pending
    size_t From = Mark();
    sim::AdvanceTo(3300);
    EXPECT_TRUE(Requests(From).empty()) << "nothing more while both are outstanding";
    EXPECT_EQ(sim::PendingPeerRequests(), 1u);

    // Back to panel refresh (the client ends with a power-off): the mode-3
    // panel site is free, so it sends; the input site stays busy.
    sim::SetPowerState(VideoPowerOff);
    From = Mark();
    sim::AdvanceTo(3800);
    EXPECT_EQ(Requests(From), (std::vector<std::string>{"3750 cmd1"}));
    EXPECT_EQ(sim::PendingPeerRequests(), 2u);

    // Completing the input poll alone frees the input site only.
    const std::vector<sim::PeerRequest> &Sent = sim::PeerRequests();
    ASSERT_GE(Sent.size(), 2u);
    EXPECT_EQ(Sent[Sent.size() - 2].Command, 6);
    ASSERT_TRUE(sim::CompleteOldestPeerRequest());
    EXPECT_EQ(sim::PendingPeerRequests(), 1u);
    // The display on again and the power-off acknowledged: input polling.
    sim::SetPowerState(VideoPowerOn);
    ASSERT_EQ(Query(IoctlQueryPowerOff, 4).Status, NO_ERROR);
    From = Mark();
    sim::AdvanceTo(4100);
    EXPECT_EQ(Requests(From), (std::vector<std::string>{"4000 cmd6"}));
    EXPECT_EQ(sim::PendingPeerRequests(), 2u);
}

TEST_F(StalledFrameTest, InputRepeatSiteSendsNothingWhileItsRequestIsOutstanding)
{
    sim::SetFrameMode(3);
    sim::SetFrameInput(1, 0);
    AttachAt500();
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::AdvanceTo(1100); // 750: mode 3, then command 6, reply 1: input pending
    ASSERT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 1);
    sim::SetPeerCompletion(sim::Completion::Pending);
    size_t From = Mark();
    // Command 7 is due every 20th turn of 500 ms: at 10750, 20750, 30750.
    sim::AdvanceTo(31100);
    EXPECT_EQ(Requests(From), (std::vector<std::string>{"10750 cmd7"}));
    EXPECT_EQ(sim::PendingPeerRequests(), 1u);
    // The skipped turns still take InputPending from the reply buffer.
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 1);

    // Once it completes, the rhythm is as before: command 7 at the next 20th
    // turn, and (input cleared) command 6 at the turn after it.
    sim::SetFrameInput(0, 0);
    sim::SetPeerCompletion(sim::Completion::Now);
    ASSERT_EQ(sim::CompletePeerRequests(), 1u);
    From = Mark();
    sim::AdvanceTo(41300);
    EXPECT_EQ(Requests(From), (std::vector<std::string>{"40750 cmd7", "41250 cmd6"}));
}

// An hour of a stalled frame: the outstanding requests and the pool stay as
// they were after the first minute, and the turns go on.
TEST_F(StalledFrameTest, AnHourStalledHoldsOneRequestPerSiteAndFlatPool)
{
    AttachInMode3ThenStall();
    sim::AdvanceTo(1300); // 1250: a panel request, pending
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    sim::SetTraceEnabled(false);
    sim::AdvanceTo(60 * 1000);
    size_t Pending = sim::PendingPeerRequests();
    uint64_t Sent = sim::PeerRequestCount();
    sim::PoolStats Pool = sim::PoolTotals();
    uint64_t Turns = sim::WaitCount();
    sim::AdvanceTo(3600 * 1000);
    EXPECT_EQ(Pending, 2u); // the panel request and the input poll
    EXPECT_EQ(sim::PendingPeerRequests(), Pending);
    EXPECT_EQ(sim::PeerRequestCount(), Sent);
    EXPECT_EQ(sim::PoolTotals().OutstandingBytes, Pool.OutstandingBytes);
    EXPECT_EQ(sim::PoolTotals().OutstandingCount, Pool.OutstandingCount);
    EXPECT_GE(sim::WaitCount() - Turns, uint64_t(3540 * 2)) << "a turn every 500 ms";
}

} // namespace
