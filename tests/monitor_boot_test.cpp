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
        EXPECT_NE(DriverState.PeerDevice.Load(), nullptr);
        ASSERT_EQ(sim::OpenCalls().size(), 1u);
        EXPECT_EQ(sim::OpenCalls()[0].Time, int64_t(Ms) * sim::TicksPerMs);
        EXPECT_EQ(sim::OpenFileObjects(), 1u);
        EXPECT_EQ(DriverState.PendingEvent.Load(), EventNone);
    }
};

TEST_F(FramePluggedAtBoot, MonitorFirstAttachesAtItsSecondTurn)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    sim::RunUntilIdle();
    ASSERT_EQ(sim::Waits().size(), 1u) << "the monitor has begun its first turn";
    ASSERT_EQ(sim::StartAdapter().FindStatus, NO_ERROR);
    EXPECT_EQ(DriverState.PendingEvent.Load(), EventArrival);

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
    EXPECT_EQ(DriverState.PendingEvent.Load(), EventArrival);

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
    EXPECT_EQ(DriverState.DeviceStatusRecord.DeviceMode.Load(), 3);
    EXPECT_EQ(ProductValue("DeviceInfo")->Data, std::vector<uint8_t>({8, 0}));
}

} // namespace
