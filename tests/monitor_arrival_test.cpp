// The monitor's handling of arrivals: the TrayPre setting, a frame arriving
// while attached, the external-session prefix, a peer that cannot be opened,
// and alternate-mode frames.

#include "monitor_fixture.h"

using namespace kvrtest;
using namespace montest;

namespace
{

using MonitorArrivalTest = MonitorTest;

TEST_F(MonitorArrivalTest, TrayPreOneLeavesTheFrameAlone)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "TrayPre", 1));
    sim::AdvanceTo(300); // the first publication is done
    KVR_STATE(DeviceStatusRecord).InputPending.Store(1);
    std::vector<uint8_t> Before = StatusBytes();
    size_t From = Mark();

    Arrive(MonitorId());
    sim::AdvanceTo(1500);

    EXPECT_EQ(QueriesOf("TrayPre").size(), 1u);
    EXPECT_TRUE(sim::OpenCalls().empty());
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(StatusBytes(), Before);
    EXPECT_TRUE(Timeline(From).empty());
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

TEST_F(MonitorArrivalTest, TrayPreOtherThanOneAttaches)
{
    ASSERT_TRUE(sim::SetDword(ProductKey, "TrayPre", 2));
    AttachAt500();
    EXPECT_EQ(KVR_STATE(TrayPresent).Load(), 2u);
    EXPECT_EQ(sim::OpenCalls().size(), 1u);
}

TEST_F(MonitorArrivalTest, ArrivalWhileAttachedClearsInputPendingAndStoresStatusOnly)
{
    AttachAt500();
    PDEVICE_OBJECT Peer = KVR_STATE(PeerDevice).Load();
    sim::AdvanceTo(800);
    KVR_STATE(DeviceStatusRecord).InputPending.Store(1);
    size_t From = Mark();

    // Another monitor-mode frame: no second attach, and AttachedPid stays.
    // The turn at 1000 begins after the mode request that ends the last one.
    Arrive(MonitorId(1), "OTHER1");
    sim::AdvanceTo(1000);

    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"1000 cmd4", "1000 DeviceStatus"}));
    EXPECT_EQ(WrittenSince(From, "DeviceStatus").at(0), Status(0, 0, 0, 0, 0));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).InputPending.Load(), 0);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), Peer);
    EXPECT_EQ(sim::OpenCalls().size(), 1u);

    // Only the product ID attached to counts at a removal.
    Remove(MonitorId(1), "OTHER1");
    sim::AdvanceTo(1300);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), Peer);
    Remove(MonitorId());
    sim::AdvanceTo(1550);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
}

TEST_F(MonitorArrivalTest, ExternalPrefixStoresStatusTwiceWithoutWaitOrOpen)
{
    sim::AdvanceTo(100);
    size_t From = Mark();
    Arrive(MonitorId(), "TQXRA4001");
    sim::AdvanceTo(260);

    // The turn at 250 publishes first (end of the first turn), then handles
    // the arrival: two DeviceStatus writes at the same instant.
    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"250 DeviceInfo", "250 DeviceStatus",
                                                        "250 DeviceStatus", "250 DeviceStatus"}));
    std::vector<std::vector<uint8_t>> Written = WrittenSince(From, "DeviceStatus");
    EXPECT_EQ(Written.at(1), Status(0, 0, 0, 0, 0));
    EXPECT_EQ(Written.at(2), Status(0, 0, 1, 0, 0));
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).ExternalSession.Load(), 1);

    // The turn's only wait is the polling step's, and nothing is opened.
    int64_t Delays = 0;
    for (const sim::WaitRecord &Wait : sim::Waits())
        Delays += Wait.Time == 250 * sim::TicksPerMs ? 1 : 0;
    EXPECT_EQ(Delays, 1);
    sim::AdvanceTo(1000);
    EXPECT_TRUE(sim::OpenCalls().empty());
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

TEST_F(MonitorArrivalTest, PrefixIsComparedByteForByte)
{
    // A lower-case prefix is another instance: the frame is attached.
    AttachAt500("", "tqxra4001");
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).ExternalSession.Load(), 0);
}

TEST_F(MonitorArrivalTest, FailedOpenStaysDetachedAndItsRemovalIsIgnored)
{
    sim::FailNextOpens(1);
    sim::AdvanceTo(100);
    KVR_STATE(DeviceStatusRecord).ExternalSession.Store(1);
    size_t From = Mark();
    Arrive(MonitorId());
    sim::AdvanceTo(1000);

    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"250 DeviceInfo", "250 DeviceStatus",
                                                        "250 DeviceStatus", "500 open failed"}));
    EXPECT_EQ(sim::OpenCalls().at(0).Access, FILE_ALL_ACCESS);
    EXPECT_EQ(sim::OpenCalls().at(0).Name, PeerDeviceName);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    // Cleared before the attempt, in memory only.
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).ExternalSession.Load(), 0);

    // AttachedPid never took this product ID, so its removal counts for
    // nothing: no reset, no publication.
    KVR_STATE(DeviceStatusRecord).LinkState.Store(1);
    From = Mark();
    Remove(MonitorId());
    sim::AdvanceTo(2000);
    EXPECT_TRUE(Timeline(From).empty());
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).LinkState.Load(), 1);
    EXPECT_EQ(sim::OpenCalls().size(), 1u); // no retry without a new arrival
}

TEST_F(MonitorArrivalTest, FailedReopenOfAFormerlyAttachedFrameStillCountsItsRemoval)
{
    AttachAt500();
    Remove(MonitorId());
    sim::AdvanceTo(800);
    ASSERT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);

    sim::FailNextOpens(1);
    Arrive(MonitorId());
    sim::AdvanceTo(1300);
    ASSERT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);

    // AttachedPid still holds this product ID: the removal resets again.
    KVR_STATE(DeviceStatusRecord).LinkState.Store(1);
    size_t From = Mark();
    Remove(MonitorId());
    sim::AdvanceTo(1600);
    std::vector<std::string> Expected;
    Published(Expected, 1500);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(StatusBytes(), Status(0, 0, 0, 0, 0));
}

TEST_F(MonitorArrivalTest, AltModeArrivalWhileAttachedReleasesThePeer)
{
    sim::SetFramePanel(8, 0x21);
    sim::SetFrameMode(2);
    AttachAt500();
    sim::AdvanceTo(800); // mode 2 from the request at 750
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    KVR_STATE(DeviceStatusRecord).PowerOffSeen.Store(1);
    KVR_STATE(InputReply)[0].Store(1);
    KVR_STATE(InputReply)[1].Store(1);
    sim::AdvanceTo(1100);
    size_t From = Mark();

    Arrive(UnguardedAltId(), "ALT001");
    sim::AdvanceTo(1300);

    // The turn at 1000 was a mode-2 turn ending with its mode request at
    // 1250; the next turn handles the arrival at once.
    std::vector<std::string> Expected = {"1250 cmd4", "1250 release"};
    Published(Expected, 1250);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 0);
    EXPECT_EQ(StatusBytes(), Status(1, 1, 0, 0, 0));
    EXPECT_EQ(InfoBytes(), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(KVR_STATE(InputReply)[0].Load(), 0);
    EXPECT_EQ(KVR_STATE(InputReply)[1].Load(), 0);
    EXPECT_EQ(WrittenSince(From, "DeviceStatus").at(0), Status(1, 1, 0, 0, 0));
    EXPECT_EQ(WrittenSince(From, "DeviceInfo").at(0), (std::vector<uint8_t>{0, 0}));
}

TEST_F(MonitorArrivalTest, AltModeArrivalWhileDetachedKeepsTheClientAndRecordsTheFrame)
{
    sim::AdvanceTo(300);
    ASSERT_EQ(ActivateClient(), NO_ERROR);
    KVR_STATE(DeviceStatusRecord).ExternalSession.Store(1);
    size_t From = Mark();
    Arrive(UnguardedAltId(), "ALT001");
    sim::AdvanceTo(600);

    std::vector<std::string> Expected;
    Published(Expected, 500);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 1);
    EXPECT_EQ(StatusBytes(), Status(1, 1, 0, 0, 0));
    EXPECT_TRUE(sim::OpenCalls().empty());

    // AttachedPid took the product ID: its removal resets the records but
    // keeps ExternalSession and the client.
    KVR_STATE(DeviceStatusRecord).ExternalSession.Store(1);
    From = Mark();
    Remove(UnguardedAltId(), "ALT001");
    sim::AdvanceTo(800);
    Expected.clear();
    Published(Expected, 750);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(StatusBytes(), Status(0, 0, 1, 0, 0));
    EXPECT_EQ(KVR_STATE(ClientActive).Load(), 1);
}

} // namespace
