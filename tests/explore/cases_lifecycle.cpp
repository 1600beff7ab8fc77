// The cases of the links' and the image's lives: the sibling's device
// removed by plug and play, its target-device notifications, and the
// adapter's device removed, each against the monitor's turn.

#include "harness.h"

#include "driver/monitor/monitor.h"

namespace explore
{
namespace
{

// The sibling's device removed by plug and play (its removal runs on a
// plug-and-play thread of the kernel) while the monitor's panel-refresh turn
// at 1000 ms sends command 1 to it: nothing is sent to it after its
// IRP_MN_REMOVE_DEVICE (the kernel's finding), nothing of it is kept, and
// the monitor's next turn resets and publishes the records as for a
// removal. A surprise removal (the frame unplugged) comes with the removal
// of the frame's USB interface; an orderly one (the sibling's device
// disabled) without.
void PrepareRemoval()
{
    AttachFrame(sim::Completion::Now);
    KVR_STATE(ClientActive).Store(1);
}

void RemoveAt1000(sim::PeerRemoval how)
{
    WaitUntilMs(1000);
    sim::RemovePeer(how);
}

// The frame unplugged: its USB interface goes with the sibling's device.
void SurpriseRemovalContexts()
{
    StartThreads({[] {
        RemoveAt1000(sim::PeerRemoval::Surprise);
        Unplug(MonitorModeIds[2], AttachedInstance);
    }});
}

void OrderlyRemovalContexts()
{
    StartThreads({[] { RemoveAt1000(sim::PeerRemoval::Orderly); }});
}

// An orderly removal whose query finds a request of the monitor's turn in
// flight finds its file object still referenced: the stack refuses, and the
// cancel opens the device again. Then the frame was never lost: the link is
// attached once and the session stays. Otherwise as for any removal.
void SettleRemoval();

void SettleOrderly()
{
    const sim::PeerRemovalRecord &removal = sim::PeerRemovals().back();
    if (!removal.Cancelled) {
        SettleRemoval();
        return;
    }
    if (removal.CancelReason != "file objects still open")
        Fail("orderly: the removal was cancelled: " + removal.CancelReason);
    sim::AdvanceTo(1600);
    CheckLink(true);
    CheckPublished(1, 3);
    CheckStatusSettled("after the refused removal,");
    if (KVR_STATE(ClientActive).Load() != 1)
        Fail("orderly: a refused removal ended the companion application's session");
}

void SettleRemoval()
{
    sim::AdvanceTo(1600);
    CheckLink(false);
    CheckPublished(0, 0);
    CheckStatusSettled("after the removal,");
    if (KVR_STATE(ClientActive).Load() != 0)
        Fail("removal: the companion application is still counted as active on a lost frame");
}

// Target-device notifications against the monitor's turns, in two cases.
//
// refused: attached; at 1000 ms a removal that another component refuses
// (query-remove: the driver lets go; cancelled: it opens the device again)
// while the monitor's turn sends. At the end the driver holds the device
// once, with one registration on the file object it holds, and publishes
// the link.
//
// reopen: the monitor's attach against a second refused removal and late
// calls of the first registration's callback (IoUnregisterPlugPlayNotification
// does not wait for one under way). Before exploring: attached; at 990 ms an
// arrival of another monitor-mode frame and a first refused removal whose
// query the sibling's stack answers 100 ms later, so that the monitor's
// 1000 ms turn finds the link let go of and, after its short wait, attaches
// at 1250 ms, when the removal's cancel has opened the device again. At
// 1250 ms the second refused removal and the late calls. At the end the
// driver holds the device once, with one registration on the file object it
// holds, and publishes the link; the late calls changed nothing.
sim::PnpRegistration First{};

void PrepareRefused()
{
    AttachFrame(sim::Completion::Now);
}

void RefusedContexts()
{
    StartThreads({[] { RemoveAt1000(sim::PeerRemoval::Refused); }});
}

void SettleNotify()
{
    sim::AdvanceTo(2500);
    CheckLink(true);
    CheckPublished(1, 3);
    CheckStatusSettled("after the refused removals,");
}

void PrepareReopen()
{
    AttachFrame(sim::Completion::Now);
    First = sim::PnpRegistrations().back();
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[3], "FR0003C2");
    sim::RemovePeer(sim::PeerRemoval::Refused, 100);
    sim::AdvanceTo(1240);
    if (KVR_STATE(PeerLink) != PeerOpen || sim::PnpRegistrations().back().Context == First.Context)
        Fail("reopen: the first refused removal did not open the device again");
}

void LateNotification(const GUID &event)
{
    TARGET_DEVICE_REMOVAL_NOTIFICATION late{1, sizeof late, event, First.TargetFile};
    if (KVR_CALL(PeerDeviceNotify, &late, First.Context) != STATUS_SUCCESS)
        Fail("reopen: a late notification was vetoed");
}

void ReopenContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1250);
                      sim::RemovePeer(sim::PeerRemoval::Refused);
                  },
                  [] {
                      WaitUntilMs(1250);
                      LateNotification(GUID_TARGET_DEVICE_REMOVE_COMPLETE);
                      LateNotification(GUID_TARGET_DEVICE_REMOVE_CANCELLED);
                  }});
}

// The contexts are the driver's own threads and the kernel's, already
// running when exploring begins.
void SettleRejoin()
{
    SettleNotify();
    sim::UnplugUsb(FrameVendorId[0], MonitorModeIds[3], "FR0003C2");
    sim::AdvanceTo(3000);
    CheckLink(false);
}

void NoContexts()
{
    StartThreads({});
}

// detach: a refused removal's cancel opens the device again, on the removal's
// plug-and-play thread, while the monitor's 1000 ms turn lets go of the link
// for a removal of the attached frame's interface. Before exploring:
// attached; at 990 ms the refused removal (its query-remove lets go at once;
// the stack answers 10 ms later, so the cancel comes at 1000 ms) and the
// interface's removal. The monitor's detach may come at any point of the
// reopen: between the open's publication and its registration it must not
// release the file object the registration is being made on. At the end
// the link is whole, attached or let go of, and the published status is the
// record.
void PrepareDetach()
{
    AttachFrame(sim::Completion::Now);
    sim::RemovePeer(sim::PeerRemoval::Refused, 10);
    sim::UnplugUsb(FrameVendorId[0], MonitorModeIds[2], AttachedInstance);
    sim::AdvanceTo(995);
    if (KVR_STATE(PeerLink) != PeerLettingGo)
        Fail("detach: the query-remove had not let go of the link");
}

void SettleDetach()
{
    sim::AdvanceTo(2500);
    CheckLink(KVR_STATE(PeerLink) == PeerOpen);
    CheckStatusSettled("after the detach,");
}

// rejoin: the monitor's attach and a cancelled removal's reopen at the same
// instant, two AttachPeer calls racing from the check of the link to its
// publication. Before exploring: attached; at 990 ms an arrival of another
// monitor-mode frame and a refused removal whose query the sibling's stack
// answers 260 ms later, so that the monitor's 1000 ms turn finds the link
// let go of and, after its short wait, attaches at 1250 ms, when the cancel
// reopens. At the end the driver holds the device once, with one
// registration, and publishes the link; whichever call attached, the
// monitor's reports the link attached and remembers the arrived frame, so
// that frame's removal lets go of it.
void PrepareRejoin()
{
    AttachFrame(sim::Completion::Now);
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[3], "FR0003C2");
    sim::RemovePeer(sim::PeerRemoval::Refused, 260);
    sim::AdvanceTo(1245);
    if (KVR_STATE(PeerLink) != PeerLettingGo)
        Fail("rejoin: the refused removal had not let go of the link before 1250 ms");
}

// The monitor's attach against a surprise removal: a monitor-mode frame
// arrives at 700 ms, the monitor's turn at 750 ms takes it and opens the
// sibling's device and registers on it at 1000 ms, when plug and play
// removes the device (the frame unplugged, its interface removed too).
// Whichever comes first, nothing of the device is kept,
// nothing is sent to it after its REMOVE, and the link is published as lost.
void PrepareAttach()
{
    sim::SetFrameMode(3);
    sim::SetPeerCompletion(sim::Completion::Now);
    sim::AdvanceTo(700);
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[2], AttachedInstance);
    sim::AdvanceTo(990);
    if (KVR_STATE(PeerFile) != nullptr)
        Fail("attach: the frame was attached before 1000 ms");
}

// The adapter's device removed (surprise) while the monitor thread runs its
// turns and the display driver's control request is in HwStartIO. Nothing
// but the reference DriverEntry took on its driver object keeps the image
// (the driver's control device and its registrations failed): it must stay
// loaded while the thread lives, so no code of it runs after an unload
// (bug check 0xCE) and nothing is left at an unload.
void UnloadBeforeStart()
{
    sim::FailNextDeviceCreations(2);
    sim::FailNextPnpRegistrations(EventCategoryDeviceInterfaceChange, 1);
    sim::FailNextPnpRegistrations(EventCategoryHardwareProfileChange, 1);
}

void PrepareUnload()
{
    sim::AdvanceTo(990);
}

void UnloadContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      if (!sim::RemoveAdapter(true))
                          Fail("unload: the adapter's device could not be removed");
                  },
                  [] {
                      WaitUntilMs(1000);
                      QueryPowerOff();
                  }});
}

void SettleUnload()
{
    uint64_t waits = sim::WaitCount();
    sim::AdvanceTo(2000);
    if (sim::DriverUnloaded())
        Fail("unload: the driver was unloaded while its monitor thread lives");
    if (sim::WaitCount() <= waits)
        Fail("unload: the monitor thread stopped its turns");
    if (sim::VideoDeviceName() != "")
        Fail("unload: the adapter's device is still there");
}

} // namespace

std::vector<Case> LifecycleCases()
{
    return {
        {"removal", "link, published, status, verifier", nullptr, PrepareRemoval,
         SurpriseRemovalContexts, 1100, SettleRemoval},
        {"orderly", "link, published, status, verifier", nullptr, PrepareRemoval,
         OrderlyRemovalContexts, 1100, SettleOrderly},
        {"refused", "link, published, status, verifier", nullptr, PrepareRefused, RefusedContexts,
         1100, SettleNotify},
        {"reopen", "link, published, status, verifier", nullptr, PrepareReopen, ReopenContexts,
         1400, SettleNotify},
        {"detach", "link, status, verifier", nullptr, PrepareDetach, NoContexts, 1100,
         SettleDetach},
        {"rejoin", "link, published, status, verifier", nullptr, PrepareRejoin, NoContexts, 1300,
         SettleRejoin},
        {"attach", "link, published, status, verifier", nullptr, PrepareAttach,
         SurpriseRemovalContexts, 1100, SettleRemoval},
        {"unload", "unload, verifier", UnloadBeforeStart, PrepareUnload, UnloadContexts, 1100,
         SettleUnload},
    };
}

} // namespace explore
