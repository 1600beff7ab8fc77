// Connection events: attaching to the sibling driver when a monitor-mode
// frame arrives, recording an alternate-mode frame, and detaching and
// resetting the published records when the frame leaves.

#include "monitor.h"
#include "../settings/settings.h"

static void PublishAndRemember(MONITOR_STATE *State)
{
    if (PublishStatus())
        State->PublishedOnce = true;
}

// The monitor's start, an alternate-mode arrival and the removals all set the
// records in this one order; they differ in the mode and link they leave and
// in whether the external session survives.
void SetDeviceRecords(UCHAR DeviceMode, UCHAR LinkState, bool ClearExternalSession)
{
    DEVICE_INFO_RECORD &Info = DriverState.DeviceInfoRecord;
    DEVICE_STATUS_RECORD &Status = DriverState.DeviceStatusRecord;

    Info.PanelType.Store(0);
    Info.PanelAux.Store(0);
    Status.DeviceMode.Store(DeviceMode);
    Status.LinkState.Store(LinkState);
    if (ClearExternalSession)
        Status.ExternalSession.Store(0);
    Status.PowerOffSeen.Store(0);
    Status.InputPending.Store(0);
    DriverState.InputReply[0].Store(0);
    DriverState.InputReply[1].Store(0);
}

// AttachedPid takes the first four characters of the event's product ID.
// The notification handler keeps the removals of the frame held as present
// from now on.
static void RememberProductId(MONITOR_STATE *State)
{
    strncpy((char *)State->AttachedPid, (const char *)State->Event.PidText, 4);
    State->AttachedPid[4] = 0;
    AcquireEventLock();
    CopyIdText(DriverState.WatchedPidText[HeldFrame], State->AttachedPid);
    ReleaseEventLock();
}

static bool IsAttachedProductId(const MONITOR_STATE *State)
{
    return SameIdText(State->AttachedPid, State->Event.PidText);
}

static bool HasExternalSerialPrefix(const MONITOR_STATE *State)
{
    return RtlCompareMemory(State->Event.SerialPrefix, State->ExternalSerialPrefix,
                            sizeof(State->ExternalSerialPrefix)) ==
           sizeof(State->ExternalSerialPrefix);
}

// The reference taken at the open is kept until ReleasePeer, or until a
// removal of the peer's device lets go of it.
static void OpenPeer(MONITOR_STATE *State)
{
    // A new attachment: no panel reply from this frame yet.
    State->PanelMode3.Replied = false;
    State->PanelMode2.Replied = false;
    if (AttachPeer())
        RememberProductId(State);
}

static void ArriveMonitorFrame(MONITOR_STATE *State)
{
    DEVICE_STATUS_RECORD &Status = DriverState.DeviceStatusRecord;

    QuerySetting(SettingTrayPre, &DriverState.TrayPresent);
    if (DriverState.TrayPresent.Load() == 1)
        return;

    Status.InputPending.Store(0);
    State->InputPollCount = 0;
    WriteSetting(SettingDeviceStatus, &Status);

    if (DriverState.PeerDevice.Load() != nullptr)
        return;

    if (HasExternalSerialPrefix(State)) {
        Status.ExternalSession.Store(1);
        WriteSetting(SettingDeviceStatus, &Status);
        return;
    }

    // Reaches the registry with the next publication.
    Status.ExternalSession.Store(0);
    KeDelayExecutionThread(KernelMode, FALSE, &State->ShortWait);
    OpenPeer(State);
}

static void ArriveAltModeFrame(MONITOR_STATE *State)
{
    if (DriverState.PeerDevice.Load() != nullptr) {
        ReleasePeer(State);
        DriverState.ClientActive.Store(0);
        State->InputPollCount = 0;
    }

    SetDeviceRecords(1, 1, true);
    PublishAndRemember(State);
    RememberProductId(State);
}

void HandleArrival(MONITOR_STATE *State)
{
    FRAME_CLASS Class =
        ClassifyFrame(&State->Views, EventArrival, &State->Event.Vid, &State->Event.Pid,
                      DriverState.DeviceStatusRecord.DeviceMode.Load());
    if (Class == MonitorFrame)
        ArriveMonitorFrame(State);
    else if (Class == AltModeFrame)
        ArriveAltModeFrame(State);
}

// The reset after a removal. ExternalSession is cleared only when the frame
// was attached in monitor mode.
static void ResetAfterRemoval(MONITOR_STATE *State, bool ClearExternalSession)
{
    SetDeviceRecords(0, 0, ClearExternalSession);
    State->InputPollCount = 0;
    PublishAndRemember(State);
}

void HandleRemoval(MONITOR_STATE *State)
{
    if (!IsAttachedProductId(State))
        return;

    FRAME_CLASS Class =
        ClassifyFrame(&State->Views, EventRemoval, &State->Event.Vid, &State->Event.Pid,
                      DriverState.DeviceStatusRecord.DeviceMode.Load());
    if (Class == AltModeFrame) {
        ResetAfterRemoval(State, false);
    } else if (Class == MonitorFrame) {
        ReleasePeer(State);
        DriverState.ClientActive.Store(0);
        ResetAfterRemoval(State, true);
    }
}

// Drops exactly the reference taken at the open, and the registration made
// on it. The device object belongs to the sibling driver and is never
// deleted here.
void ReleasePeer(MONITOR_STATE *State)
{
    (void)State;
    DetachPeer();
}

void HandleLostPeer(MONITOR_STATE *State)
{
    // A cancelled removal opened the device again: a new attachment, as
    // OpenPeer makes one (the product ID stays the one attached).
    if (DriverState.PeerReopened.Load() != 0) {
        DriverState.PeerReopened.Store(0);
        State->PanelMode3.Replied = false;
        State->PanelMode2.Replied = false;
    }
    if (DriverState.PeerLost.Load() == 0)
        return;
    DriverState.PeerLost.Store(0);
    if (DriverState.PeerDevice.Load() != nullptr)
        return; // attached again since
    DriverState.ClientActive.Store(0);
    ResetAfterRemoval(State, true);
}
