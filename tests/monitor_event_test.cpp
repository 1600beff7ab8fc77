// The connection-event hand-off as the monitor sees it: an event is taken at
// the top of a turn with its own copy of the identifiers, a notification that
// comes while it is handled is not lost, a later notification before the turn
// replaces an earlier one, a removal replaced in the slot is handled before
// the event that replaced it whenever that event comes, and a value other than
// 1 or 2 is left alone.

#include "monitor_fixture.h"
#include "sim/explore/explore.h"

using namespace kvrtest;
using namespace montest;

namespace
{

using MonitorEventTest = MonitorTest;

TEST_F(MonitorEventTest, ArrivalPostedWhileAttachingIsHandledAtTheNextTurn)
{
    size_t From = Mark();
    sim::AdvanceTo(100);
    Arrive(MonitorId(0), "SER001");
    sim::AdvanceTo(300); // the monitor waits before opening the peer
    Arrive(MonitorId(1), "SER002");
    sim::AdvanceTo(1000);

    std::vector<std::string> Expected;
    Published(Expected, 250);
    Expected.push_back("250 DeviceStatus"); // first arrival
    Expected.push_back("500 open");
    Expected.push_back("750 cmd4");
    Expected.push_back("750 DeviceStatus"); // second arrival, while attached
    Expected.push_back("1000 cmd4");
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(sim::OpenCalls().size(), 1u);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);

    // The attach took the product ID of the event it handled, not the one
    // the later notification wrote meanwhile.
    Remove(MonitorId(1), "SER002");
    sim::AdvanceTo(1300);
    EXPECT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
    Remove(MonitorId(0), "SER001");
    sim::AdvanceTo(1550);
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
}

// The frame the turn is attaching leaves while the turn waits before its
// open: the next turn lets go of it. Alone, the removal is in the slot; when
// a removal of another product replaces it there, it was kept beside the
// slot (the arriving frame's), and the other product's removal changes
// nothing.
TEST_F(MonitorEventTest, RemovalPostedWhileAttachingDetachesAtTheNextTurn)
{
    for (bool Replaced : {false, true}) {
        SCOPED_TRACE(Replaced ? "replaced in the slot" : "in the slot");
        if (Replaced) {
            ResetSystem();
            sim::SetFrameMode(0);
            LoadAndStart(true);
            sim::RunUntilIdle();
        }
        size_t From = Mark();
        sim::AdvanceTo(100);
        Arrive(MonitorId());
        sim::AdvanceTo(300); // the turn at 250 took it and waits before opening
        Remove(MonitorId());
        if (Replaced)
            Remove(UnguardedAltId(), "SER002");
        sim::AdvanceTo(800);

        std::vector<std::string> Expected;
        Published(Expected, 250);
        Expected.push_back("250 DeviceStatus");
        Expected.push_back("500 open");
        Expected.push_back("750 cmd4");
        Expected.push_back("750 release");
        Published(Expected, 750);
        EXPECT_EQ(Timeline(From), Expected);
        EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr);
        EXPECT_EQ(sim::OpenFileObjects(), 0u);
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
    }
}

// Both watches keep a removal within one turn: the recorded alternate-mode
// frame leaves while the turn attaches a monitor-mode frame, which leaves
// too, and the open fails (the sibling's device is absent). The removals are
// handled in the order they were posted, so the one of the frame still held
// is not skipped for the newer one, which concerns a frame never held.
TEST_F(MonitorEventTest, KeptRemovalsAreHandledInTheOrderPosted)
{
    sim::AdvanceTo(100);
    Arrive(UnguardedAltId(), "ALT001");
    sim::AdvanceTo(300);
    ASSERT_EQ(StatusBytes(), Status(1, 1, 0, 0, 0));
    sim::SetPeerPresent(false);
    Arrive(MonitorId());
    sim::AdvanceTo(600); // the turn at 500 took it and waits before opening
    Remove(UnguardedAltId(), "ALT001");
    Remove(MonitorId());
    Arrive("9999", "OTHER1"); // a product of no table replaces both in the slot
    sim::AdvanceTo(1300);
    ASSERT_EQ(sim::OpenCalls().size(), 1u);
    EXPECT_FALSE(NT_SUCCESS(sim::OpenCalls()[0].Status)) << "the open failed";
    EXPECT_EQ(StatusBytes(), Status(0, 0, 0, 0, 0)) << "nothing is plugged in";
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

TEST_F(MonitorEventTest, LaterNotificationBeforeTheTurnReplacesTheEarlierOne)
{
    size_t From = Mark();
    sim::AdvanceTo(100);
    Arrive(MonitorId());
    Remove(MonitorId());
    sim::AdvanceTo(1000);

    // Only the removal is seen, and AttachedPid never held the ID.
    std::vector<std::string> Expected;
    Published(Expected, 250);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_TRUE(sim::OpenCalls().empty());
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

// The attached frame is unplugged at 900 ms and plugged in again, from a
// thread of its own, at 1000 ms, the instant of a monitor turn. Every
// schedule with one departure from the default order places the arrival
// somewhere in that turn, also after the turn has looked for a replaced
// removal and before it takes the slot. Whatever the order, the removal is
// handled before the arrival, so the frame, plugged in at the end, is
// attached to afresh: never left released by the older removal handled last.
void PlugAgainAt1000(PVOID Context)
{
    (void)Context;
    LARGE_INTEGER At;
    At.QuadPart = 1000 * sim::TicksPerMs; // absolute, on the virtual clock
    KeDelayExecutionThread(KernelMode, FALSE, &At);
    sim::PlugUsb(Vendor(), MonitorId(), "SER001");
}

TEST_F(MonitorEventTest, ReplugRacingTheTurnIsAttachedUnderEverySchedule)
{
    sim::BoundedSchedules Schedules(1);
    std::vector<sim::Switch> Switches;
    unsigned Runs = 0;
    while (Schedules.Next(Switches)) {
        if (Runs++ > 0) {
            ResetSystem();
            sim::SetFrameMode(0);
            LoadAndStart(true);
            sim::RunUntilIdle();
        }
        sim::AdvanceTo(100);
        sim::PlugUsb(Vendor(), MonitorId(), "SER001");
        sim::AdvanceTo(900);
        ASSERT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
        sim::UnplugUsb(Vendor(), MonitorId(), "SER001");

        sim::ScheduleOptions Options;
        Options.Switches = Switches;
        Options.RecordDecisions = true;
        sim::BeginExploring(Options);
        HANDLE Thread = nullptr;
        ASSERT_EQ(
            PsCreateSystemThread(&Thread, 0, nullptr, nullptr, nullptr, PlugAgainAt1000, nullptr),
            STATUS_SUCCESS);
        sim::AdvanceTo(2000);
        Schedules.Record(sim::EndExploring());

        std::string Schedule = "schedule \"" + sim::ScheduleText(Switches) + "\"";
        ASSERT_NE(KVR_STATE(PeerDevice).Load(), nullptr) << Schedule;
        EXPECT_EQ(sim::OpenFileObjects(), 1u) << Schedule;
        EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone) << Schedule;
    }
    // The turn at 1000 ms has many switch points: far more than the orders
    // of the two threads alone.
    EXPECT_GT(Runs, 10u);
}

TEST_F(MonitorEventTest, OtherEventValueIsNeitherHandledNorCleared)
{
    sim::AdvanceTo(100);
    Arrive(MonitorId());
    // The slot holds a value no notification posts.
    KVR_STATE(PendingEvent).Store(3);
    size_t From = Mark();
    sim::AdvanceTo(1000);

    std::vector<std::string> Expected;
    Published(Expected, 250);
    EXPECT_EQ(Timeline(From), Expected);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), 3u);
    EXPECT_TRUE(sim::OpenCalls().empty());

    // The next real notification (another frame's: the first one's arrival
    // has been reported already) replaces it and is handled.
    Arrive(MonitorId(), "SER002");
    sim::AdvanceTo(1500);
    EXPECT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

TEST_F(MonitorEventTest, OtherDeviceNotificationDuringAttachLeavesTheEventToBeCleared)
{
    sim::AdvanceTo(100);
    Arrive(MonitorId());
    sim::AdvanceTo(300);
    size_t From = Mark();
    // A device of another vendor: rewrites the notified texts, posts nothing.
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                             sim::UsbInterfaceName("0000", "0001", "TQXRA4999"));
    sim::AdvanceTo(1000);

    // The arrival is handled once: cleared after the attach, not repeated.
    EXPECT_EQ(Timeline(From), (std::vector<std::string>{"500 open", "750 cmd4", "1000 cmd4"}));
    EXPECT_EQ(KVR_STATE(PendingEvent).Load(), EventNone);
}

} // namespace
