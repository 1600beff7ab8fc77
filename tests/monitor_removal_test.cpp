// The monitor's handling of removals: only the product ID it last attached
// to or recorded counts, compared with regard to case; a removal of that ID
// resets as often as it comes; the guarded alternate-mode ID counts only in
// DeviceMode 1.

#include "monitor_fixture.h"

using namespace kvrtest;
using namespace montest;

namespace
{

using MonitorRemovalTest = MonitorTest;

TEST_F(MonitorRemovalTest, RemovalOfAnotherProductIdChangesNothing)
{
    AttachAt500();
    PDEVICE_OBJECT Peer = KVR_STATE(PeerDevice).Load();
    sim::AdvanceTo(800);
    std::vector<uint8_t> Before = StatusBytes();
    size_t From = Mark();

    // A frame of the tables, alternate mode and monitor mode, but not the
    // one attached to.
    Remove(MonitorId(1));
    sim::AdvanceTo(1100);
    Remove(UnguardedAltId());
    sim::AdvanceTo(1600);

    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"1000 cmd4", "1250 cmd4", "1500 cmd4"}));
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), Peer);
    EXPECT_EQ(StatusBytes(), Before);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

// A removal that a later notification replaces in the one slot before the
// monitor's turn is still handled, first: the old reference is released and
// the records reset, then the later event runs. Each case: what follows the
// removal of the attached frame before the turn at 750 ms, and what the
// monitor then does.
TEST_F(MonitorRemovalTest, RemovalReplacedInTheSlotIsHandledFirst)
{
    struct Case {
        const char *Name;
        std::string Then; // arrival of this product ID after the removal
        std::vector<std::string> Expected;
    };
    const Case Cases[] = {
        // A re-plug within one turn: released, then attached afresh.
        {"re-plug",
         MonitorId(),
         {"750 cmd4", "750 release", "750 DeviceInfo", "750 DeviceStatus", "750 DeviceStatus",
          "1000 open"}},
        // Another frame's alternate-mode arrival: released once, then recorded.
        {"alternate mode",
         UnguardedAltId(),
         {"750 cmd4", "750 release", "750 DeviceInfo", "750 DeviceStatus", "750 DeviceInfo",
          "750 DeviceStatus"}},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        SetUp();
        AttachAt500();
        size_t From = Mark();
        sim::AdvanceTo(600);
        Remove(MonitorId());
        Arrive(C.Then);
        sim::AdvanceTo(1100);
        EXPECT_EQ(Timeline(From), C.Expected);
        EXPECT_EQ(sim::OpenFileObjects(), C.Then == MonitorId() ? 1u : 0u);
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
        TearDown();
    }
}

TEST_F(MonitorRemovalTest, RemovalDifferingOnlyInCaseChangesNothing)
{
    std::string Id = LetteredMonitorId();
    ASSERT_FALSE(Id.empty()) << "the monitor-mode table has no ID with a letter";
    AttachAt500(Id);
    PDEVICE_OBJECT Peer = KVR_STATE(PeerDevice).Load();
    sim::AdvanceTo(800);
    size_t From = Mark();

    // Classification would accept it, but AttachedPid is compared exactly.
    Remove(Lower(Id));
    sim::AdvanceTo(1100);
    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"1000 cmd4"}));
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), Peer);

    Remove(Id);
    sim::AdvanceTo(1300);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
}

TEST_F(MonitorRemovalTest, RemovalOfTheAttachedFrameResetsEveryTime)
{
    sim::SetFrameMode(2);
    sim::SetFramePanel(8, 0x31);
    AttachAt500();
    sim::AdvanceTo(800);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    ASSERT_EQ(sim::Ioctl(IoctlStartExternalSession, Le32Pair(0x11223344, 0x55667788), 0).Status,
              NO_ERROR);
    KVR_STATE(DeviceStatusRecord).PowerOffSeen.Store(1);
    KVR_STATE(InputReply)[0].Store(1);
    KVR_STATE(InputReply)[1].Store(1);
    sim::AdvanceTo(1100);
    ASSERT_EQ(StatusBytes(), Status(1, 2, 1, 1, 0));
    size_t From = Mark();

    Remove(MonitorId());
    sim::AdvanceTo(1300);

    std::vector<std::string> Expected = {"1250 cmd4", "1250 release"};
    Published(Expected, 1250);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 0);
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(KVR_STATE(InputReply)[0].Load(), 0);
    EXPECT_EQ(KVR_STATE(InputReply)[1].Load(), 0);
    // Every reset field 0, ExternalSession included; the session
    // parameters keep their values.
    std::vector<uint8_t> Cleared = {0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> Params = Le32Pair(0x11223344, 0x55667788);
    Cleared.insert(Cleared.end(), Params.begin(), Params.end());
    EXPECT_EQ(StatusBytes(), Cleared);
    EXPECT_EQ(WrittenSince(From, "DeviceStatus").at(0), Cleared);

    // The same product ID removed again: AttachedPid still holds it, so the
    // reset runs again; there is no peer left to release.
    KVR_STATE(DeviceStatusRecord).LinkState.Store(1);
    KVR_STATE(DeviceStatusRecord).ExternalSession.Store(1);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    From = Mark();
    Remove(MonitorId());
    sim::AdvanceTo(1550);
    Expected.clear();
    Published(Expected, 1500);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(StatusBytes(), Cleared);
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 0);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

class GuardedRemovalTest : public MonitorTest
{
  protected:
    // Records the guarded alternate-mode frame: DeviceMode 1, AttachedPid
    // the guarded ID.
    void RecordGuardedFrame()
    {
        sim::AdvanceTo(300);
        Arrive(GuardedAltModeId, "ALT777");
        sim::AdvanceTo(600);
        ASSERT_EQ(StatusBytes(), Status(1, 1, 0, 0, 0));
    }
};

TEST_F(GuardedRemovalTest, CountsInDeviceModeOne)
{
    RecordGuardedFrame();
    size_t From = Mark();
    Remove(GuardedAltModeId, "ALT777");
    sim::AdvanceTo(800);
    std::vector<std::string> Expected;
    Published(Expected, 750);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(StatusBytes(), Status(0, 0, 0, 0, 0));
}

TEST_F(GuardedRemovalTest, IsIgnoredInAnyOtherDeviceMode)
{
    RecordGuardedFrame();
    for (UCHAR Mode : {UCHAR(0), UCHAR(2), UCHAR(3)}) {
        SCOPED_TRACE(int(Mode));
        KVR_STATE(DeviceStatusRecord).DeviceMode.Store(Mode);
        size_t From = Mark();
        Remove(GuardedAltModeId, "ALT777");
        sim::Advance(250);
        EXPECT_TRUE(Timeline(From).empty());
        EXPECT_EQ(StatusBytes(), Status(1, Mode, 0, 0, 0));
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    }
}

} // namespace
