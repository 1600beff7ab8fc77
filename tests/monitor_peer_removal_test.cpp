// Plug and play removing the sibling's device while the monitor is attached:
// the driver registers for target-device change on the file object it opens,
// lets go of it at once on a query-remove or a completed removal (so that the
// device's REMOVE never waits for a monitor turn), opens it again after a
// cancelled removal, and resets the published records at its next turn.

#include "monitor_fixture.h"

#include "driver/monitor/monitor.h"

using namespace kvrtest;
using namespace montest;

namespace
{

class PeerRemovalTest : public MonitorTest
{
  protected:
    // Attached in mode 3 with panel refresh running (800 ms).
    void AttachInMode3()
    {
        sim::SetFrameMode(3);
        sim::SetFramePanel(8, 0);
        AttachAt500();
        sim::AdvanceTo(800);
        ASSERT_EQ(sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange), 1u);
    }

    // The target-device registrations made so far, oldest first.
    std::vector<sim::PnpRegistration> TargetRegistrations()
    {
        std::vector<sim::PnpRegistration> Found;
        for (const sim::PnpRegistration &R : sim::PnpRegistrations())
            if (R.Category == EventCategoryTargetDeviceChange && NT_SUCCESS(R.Status))
                Found.push_back(R);
        return Found;
    }

    size_t RequestsSince(size_t From)
    {
        size_t Count = 0;
        for (const std::string &Line : Timeline(From))
            Count += Line.find(" cmd") != std::string::npos ? 1 : 0;
        return Count;
    }
};

// Each case: the removal, whether the registration could be made, and what
// follows: when the REMOVE comes (ms after the removal; -1: never), whether
// the driver is attached afterwards, and the DeviceStatus published at the
// next turn.
TEST_F(PeerRemovalTest, EachRemovalLetsGoAtOnceOrReopens)
{
    struct Case {
        const char *Name;
        sim::PeerRemoval How;
        bool Registered;
        int64_t RemoveAfterMs;
        bool AttachedAfter;
        uint8_t LinkStateAfter;
    };
    const Case Cases[] = {
        {"surprise", sim::PeerRemoval::Surprise, true, 0, false, 0},
        {"orderly", sim::PeerRemoval::Orderly, true, 0, false, 0},
        {"refused: reopened", sim::PeerRemoval::Refused, true, -1, true, 1},
        // Without the registration, only the interface removal at the
        // monitor's turn lets go: REMOVE waits for it.
        {"surprise, not registered", sim::PeerRemoval::Surprise, false, 200, false, 0},
        // ... and an orderly removal fails on the open file object.
        {"orderly, not registered", sim::PeerRemoval::Orderly, false, -1, true, 1},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        SetUp();
        if (!C.Registered)
            sim::FailNextPnpRegistrations(EventCategoryTargetDeviceChange, 1);
        sim::SetFrameMode(3);
        AttachAt500();
        sim::AdvanceTo(800);
        ASSERT_EQ(ActivateClient(), NO_ERROR);
        PDEVICE_OBJECT Old = KVR_STATE(PeerDevice).Load();
        sim::RemovePeer(C.How);
        sim::RunUntilIdle();
        if (!C.Registered && C.How == sim::PeerRemoval::Surprise) {
            // The frame's interface goes with the device; the monitor's turn
            // at 1000 ms lets go.
            Remove(MonitorId());
        }
        size_t From = Mark();
        sim::AdvanceTo(1100);
        const sim::PeerRemovalRecord &Record = sim::PeerRemovals().back();
        if (C.RemoveAfterMs < 0) {
            EXPECT_TRUE(Record.Cancelled);
            EXPECT_EQ(Record.RemoveTime, -1);
        } else {
            EXPECT_EQ((Record.RemoveTime - Record.Start) / sim::TicksPerMs, C.RemoveAfterMs);
        }
        EXPECT_EQ(KVR_STATE(PeerDevice).Load() != nullptr, C.AttachedAfter);
        EXPECT_EQ(KVR_STATE(PeerDevice).Load() == Old, C.AttachedAfter);
        EXPECT_EQ(sim::OpenFileObjects(), C.AttachedAfter ? 1u : 0u);
        EXPECT_EQ(sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange),
                  C.AttachedAfter && C.Registered ? 1u : 0u);
        EXPECT_EQ(RequestsSince(From) > 0, C.AttachedAfter);
        // A lost frame ends the companion application's activity with it.
        EXPECT_EQ(KVR_STATE(ClientActive).Load(), C.AttachedAfter ? 1 : 0);
        std::vector<std::vector<uint8_t>> Written = WrittenSince(From, "DeviceStatus");
        ASSERT_FALSE(Written.empty());
        EXPECT_EQ(Written.back()[0], C.LinkStateAfter);
        TearDown();
    }
}

// The unplugged frame comes back within one turn: the sibling's new device
// can be created at once, since the old one was let go of at its removal,
// and the monitor attaches to the new one.
TEST_F(PeerRemovalTest, ReplugWithinOneTurnAttachesToTheNewDevice)
{
    AttachInMode3();
    PDEVICE_OBJECT Old = KVR_STATE(PeerDevice).Load();
    sim::RemovePeer(sim::PeerRemoval::Surprise);
    Remove(MonitorId());
    Arrive(MonitorId());
    EXPECT_EQ(sim::AddPeer(), STATUS_SUCCESS);
    sim::AdvanceTo(1300); // 1000: the turn takes both events; 1250: open
    PDEVICE_OBJECT New = KVR_STATE(PeerDevice).Load();
    ASSERT_NE(New, nullptr);
    EXPECT_NE(New, Old);
    EXPECT_EQ(New, PeerObject());
    EXPECT_EQ(sim::OpenFileObjects(), 1u);
    EXPECT_EQ(sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange), 1u);
}

// IoUnregisterPlugPlayNotification on Vista does not wait for a call of the
// callback under way: a notification for the file object of a registration
// already removed comes late and changes nothing. Nor does a cancelled
// removal of the open file object (another driver vetoed the query before it
// reached this one): the link and its registration stay as they are.
TEST_F(PeerRemovalTest, LateOrVetoedNotificationChangesNothing)
{
    AttachInMode3();
    sim::RemovePeer(sim::PeerRemoval::Refused); // reopened: a new open, a new registration
    sim::RunUntilIdle();
    std::vector<sim::PnpRegistration> Made = TargetRegistrations();
    ASSERT_EQ(Made.size(), 2u);
    // The file object's storage may be the closed one's again: only the
    // registration's context tells the two opens apart.
    const sim::PnpRegistration &Old = Made[0];
    const sim::PnpRegistration &Current = Made[1];
    ASSERT_EQ(KVR_STATE(PeerFile), Current.TargetFile);
    ASSERT_NE(Current.Context, Old.Context);
    PDEVICE_OBJECT Peer = KVR_STATE(PeerDevice).Load();
    size_t Opens = sim::OpenCalls().size();
    struct Case {
        const char *Name;
        GUID Event;
        const sim::PnpRegistration *Registration;
    };
    const Case Cases[] = {
        {"late query-remove", GUID_TARGET_DEVICE_QUERY_REMOVE, &Old},
        {"late removal", GUID_TARGET_DEVICE_REMOVE_COMPLETE, &Old},
        {"late cancel", GUID_TARGET_DEVICE_REMOVE_CANCELLED, &Old},
        {"cancel while open", GUID_TARGET_DEVICE_REMOVE_CANCELLED, &Current},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        TARGET_DEVICE_REMOVAL_NOTIFICATION Late{1, sizeof Late, C.Event,
                                                C.Registration->TargetFile};
        NTSTATUS Status = STATUS_UNSUCCESSFUL;
        RunOnSystemThread(
            [&] { Status = KVR_CALL(PeerDeviceNotify, &Late, C.Registration->Context); });
        EXPECT_EQ(Status, STATUS_SUCCESS);
        EXPECT_EQ(KVR_STATE(PeerFile), Current.TargetFile);
        EXPECT_EQ(KVR_STATE(PeerDevice).Load(), Peer);
        EXPECT_EQ(sim::OpenCalls().size(), Opens) << "not opened again";
        EXPECT_EQ(sim::OpenFileObjects(), 1u);
        EXPECT_EQ(sim::ActivePnpRegistrations(EventCategoryTargetDeviceChange), 1u);
    }
}

// A removal that another component refuses, with the monitor's turn between
// its query-remove and its cancel (the stack takes 300 ms to answer the
// query): only a completed removal loses the frame, so the companion
// application's session and the published link survive; the reopen is a new
// attachment, whose first panel request left pending gets provisional panel
// information as after any attach.
TEST_F(PeerRemovalTest, RefusedRemovalAcrossATurnKeepsTheSessionAndStartsAfresh)
{
    struct Case {
        const char *Name;
        bool Client;
    };
    const Case Cases[] = {{"client active", true}, {"panel refresh", false}};
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        SetUp();
        AttachInMode3();
        if (C.Client) {
            ASSERT_EQ(ActivateClient(), NO_ERROR);
        }
        ASSERT_EQ(InfoBytes(), (std::vector<uint8_t>{8, 0}));
        size_t From = Mark();
        sim::RemovePeer(sim::PeerRemoval::Refused, 300);
        sim::AdvanceTo(1150);
        ASSERT_TRUE(sim::PeerRemovals().back().Cancelled);
        ASSERT_NE(KVR_STATE(PeerDevice).Load(), nullptr) << "opened again at the cancel";
        // The next panel request is left pending by the sibling.
        sim::SetPeerCompletion(sim::Completion::Pending);
        sim::AdvanceTo(1600);
        EXPECT_EQ(KVR_STATE(ClientActive).Load(), C.Client ? 1 : 0);
        for (const std::vector<uint8_t> &Status : WrittenSince(From, "DeviceStatus"))
            EXPECT_EQ(Status[0], 1) << "the link was published as lost";
        if (!C.Client) {
            std::vector<std::vector<uint8_t>> Info = WrittenSince(From, "DeviceInfo");
            ASSERT_FALSE(Info.empty());
            EXPECT_EQ(Info.back(), (std::vector<uint8_t>{1, 0})) << "provisional panel";
        }
        sim::CompletePeerRequests();
        TearDown();
    }
}

// A sibling whose dispatch routine takes 100 ms keeps the monitor's panel
// request inside IofCallDriver from 1000 ms on when the frame is unplugged
// at 1050 ms. The target-device callback lets go of the link at once and
// waits for nobody (the kernel finds a callback that waits); the request's
// own reference keeps the device until the call returns, and its REMOVE
// follows then.
TEST_F(PeerRemovalTest, ARemovalDuringASlowSendWaitsForNobody)
{
    AttachInMode3();
    sim::SetPeerDispatchMs(100);
    sim::AdvanceTo(1050);
    size_t Sent = sim::PeerRequestCount();
    sim::RemovePeer(sim::PeerRemoval::Surprise);
    sim::RunUntilIdle();
    EXPECT_EQ(KVR_STATE(PeerDevice).Load(), nullptr) << "let go of at once";
    sim::AdvanceTo(1200);
    EXPECT_GT(sim::PeerRequestCount(), Sent) << "the request in flight reached the sibling";
    EXPECT_EQ(sim::PeerRemovals().back().RemoveTime / sim::TicksPerMs, 1100);
    for (const sim::Violation &V : sim::Violations())
        ADD_FAILURE() << V.Text;
    EXPECT_EQ(sim::OpenFileObjects(), 0u);
}

} // namespace
