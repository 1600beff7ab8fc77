// A frame that is already plugged in when the driver loads. The adapter
// start's registration reports it as an arrival at once, and the platform
// gives no order between the monitor thread's first instruction and the
// adapter start: the frame is attached whichever of the two runs first.

#include "monitor_fixture.h"

#include "driver/core/miniport.h"

using namespace kvrtest;
using namespace montest;

namespace
{

class FramePluggedAtBoot : public DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        sim::PlugUsb(Vendor(), MonitorId(), "SER001");
    }

    // The time of the one open of the sibling's device, and that it holds
    // exactly one reference.
    void ExpectAttachedOnceAt(uint64_t Ms)
    {
        EXPECT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
        ASSERT_EQ(sim::OpenCalls().size(), 1u);
        EXPECT_EQ(sim::OpenCalls()[0].Time, int64_t(Ms) * sim::TicksPerMs);
        EXPECT_EQ(sim::OpenFileObjects(), 1u);
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    }
};

TEST_F(FramePluggedAtBoot, MonitorFirstAttachesAtItsSecondTurn)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    ASSERT_EQ(sim::Waits().size(), 1u) << "the monitor has begun its first turn";
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);

    sim::AdvanceTo(1000);
    // Arrival handled at the 250 ms turn, the peer opened 250 ms later.
    ExpectAttachedOnceAt(500);
}

TEST_F(FramePluggedAtBoot, AdapterFirstKeepsTheArrivalForTheMonitorsFirstTurn)
{
    sim::HoldNewThreads(true);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    // The arrival came through the registration before the monitor's first
    // instruction (DriverState is read without letting the threads run).
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventArrival);

    // The monitor's first turn, at 0 ms, takes it: DeviceStatus is stored and
    // the monitor waits before opening the peer; no turn wait came first.
    sim::RunUntilIdle();
    std::vector<sim::RegWrite> Stored = WritesOf("DeviceStatus");
    ASSERT_EQ(Stored.size(), 1u);
    EXPECT_EQ(Stored[0].Time, 0);
    ASSERT_EQ(sim::Waits().size(), 1u);

    sim::AdvanceTo(1000);
    // Handled at the first turn, at 0 ms; the peer opened after the 250 ms
    // wait that precedes it.
    ExpectAttachedOnceAt(250);
    EXPECT_EQ(KVR_STATE(DeviceStatusRecord).DeviceMode.Load(), 3);
    EXPECT_EQ(ProductValue("DeviceInfo")->Data, std::vector<uint8_t>({8, 0}));
}

// What a boot with the frame plugged in leads to over three seconds: the
// monitor's timeline and the records it leaves.
struct BootRun {
    std::vector<std::string> Timeline;
    std::vector<uint8_t> Status;
    std::vector<uint8_t> Info;
    size_t Opens;
    size_t OpenFiles;
    size_t Notifications;
};

class SecondReportOfTheArrival : public FramePluggedAtBoot
{
  protected:
    BootRun Boot(bool AdapterFirst, sim::ExistingArrivals Delivery)
    {
        ResetSystem();
        sim::PlugUsb(Vendor(), MonitorId(), "SER001");
        sim::SetExistingArrivals(Delivery);
        sim::HoldNewThreads(AdapterFirst);
        EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
        sim::HoldNewThreads(false);
        // The companion application is active, so that a second handling of
        // the arrival would show in the input polling.
        sim::AdvanceTo(1000);
        sim::Ioctl(IoctlActivateClient, {}, 0);
        sim::AdvanceTo(3000);
        size_t Notices = 0;
        for (const sim::TraceEvent &Event : sim::Trace())
            Notices += Event.Kind == sim::TraceKind::Notify ? 1 : 0;
        return {Timeline(0),
                StatusBytes(),
                InfoBytes(),
                sim::OpenCalls().size(),
                sim::OpenFileObjects(),
                Notices};
    }
};

// Twice during the registration, once during it and once from another
// thread right after, once during it and once 1.2 s later while attached and
// polling, or both 1.2 s later: the second report changes nothing that the
// first report alone did not.
TEST_F(SecondReportOfTheArrival, ChangesNothingBeyondTheFirst)
{
    const sim::ExistingArrivals Twice[] = {{2, 0, 0}, {2, 1, 0}, {2, 1, 1200}, {2, 2, 1200}};
    for (bool AdapterFirst : {false, true}) {
        for (const sim::ExistingArrivals &Delivery : Twice) {
            SCOPED_TRACE(testing::Message()
                         << (AdapterFirst ? "adapter first" : "monitor first") << ", later "
                         << Delivery.Later << " after " << Delivery.LaterMs << " ms");
            bool AllLater = Delivery.Later == Delivery.Copies;
            BootRun Once = Boot(AdapterFirst, {1, AllLater ? 1u : 0u, Delivery.LaterMs});
            ASSERT_EQ(Once.Opens, 1u);
            ASSERT_EQ(Once.OpenFiles, 1u);
            EXPECT_EQ(Once.Notifications, 2u); // the plug and the registration's report

            BootRun Run = Boot(AdapterFirst, Delivery);
            EXPECT_EQ(Run.Notifications, 3u) << "the arrival was reported twice";
            EXPECT_EQ(Run.Timeline, Once.Timeline);
            EXPECT_EQ(Run.Status, Once.Status);
            EXPECT_EQ(Run.Info, Once.Info);
            EXPECT_EQ(Run.Opens, 1u) << "no second open";
            EXPECT_EQ(Run.OpenFiles, 1u) << "no second reference";
        }
    }
}

// A removal ends the frame's presence: the next arrival of the same
// interface is a new one and attaches again.
TEST_F(FramePluggedAtBoot, ArrivalAfterTheRemovalOfTheSameInterfaceIsNew)
{
    LoadAndStart();
    sim::AdvanceTo(1000);
    ASSERT_EQ(sim::OpenCalls().size(), 1u);
    sim::UnplugUsb(Vendor(), MonitorId(), "SER001");
    sim::AdvanceTo(1500);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
    sim::PlugUsb(Vendor(), MonitorId(), "SER001");
    sim::AdvanceTo(2500);
    EXPECT_EQ(sim::OpenCalls().size(), 2u);
    EXPECT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(sim::OpenFileObjects(), 1u);
}

} // namespace
