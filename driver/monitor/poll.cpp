// The polling step of each monitor turn: what to ask the attached frame,
// depending on its last reported mode, and how long to wait afterwards.
//
// Requests are never waited for. Replies are read from the buffers in
// whatever state they are in when the call returns; the sibling driver may
// still be writing them, so every read of a reply byte is one relaxed load.
// Each request site has at most one request outstanding: while the sibling
// driver holds a site's request, that site sends nothing, and its turn goes
// on as for a request that could not be built. A stalled frame thus holds at
// most one request (with its buffers) per site, not one more every turn.

#include "monitor.h"
#include "../settings/settings.h"

constexpr UCHAR FrameModeSetup = 2;   // panel requests with each mode request
constexpr UCHAR FrameModeMonitor = 3; // mode requests end
constexpr UCHAR InputRepeatTurns = 20;

static void Wait(LARGE_INTEGER *Interval)
{
    KeDelayExecutionThread(KernelMode, FALSE, Interval);
}

static void PublishAndRemember(MONITOR_STATE *State)
{
    if (PublishStatus())
        State->PublishedOnce = true;
}

// Whether the frame has answered command 1 since it was attached: the
// sibling driver wrote a real reply into DeviceInfoRecord, from either panel
// site.
static bool PanelReplied(MONITOR_STATE *State)
{
    NoteSiteCompletion(&State->PanelMode3);
    NoteSiteCompletion(&State->PanelMode2);
    return State->PanelMode3.Replied || State->PanelMode2.Replied;
}

// Command 1 into DeviceInfoRecord. A request left pending gets provisional
// panel information at once, but only until the frame has answered once:
// after that a pending request leaves the last real reply in place, which
// the sibling driver overwrites when it completes. Asking for the panel marks
// the frame present.
static void RequestPanel(MONITOR_STATE *State, PEER_SITE *Site)
{
    DEVICE_INFO_RECORD &Info = DriverState.DeviceInfoRecord;
    NTSTATUS Status;
    bool Replied = PanelReplied(State);
    if (SendPeerCommand(PeerCommandPanel, &Info, PeerPanelReplySize, Site, &Status) &&
        Status == STATUS_PENDING && !Replied) {
        Info.PanelAux.Store(0);
        Info.PanelType.Store(1);
    }
    DriverState.DeviceStatusRecord.LinkState.Store(1);
}

// Command 4 into the site's own mode byte. A pending request counts as
// answered: the mode is whatever the byte holds now.
static void RequestMode(Shared<UCHAR> *Reply, PEER_SITE *Site)
{
    NTSTATUS Status;
    if (SendPeerCommand(PeerCommandMode, Reply, PeerModeReplySize, Site, &Status) &&
        NT_SUCCESS(Status))
        DriverState.DeviceStatusRecord.DeviceMode.Store(Reply->Load());
}

// Command 6 or 7 into InputReply. The outcome does not matter: byte 0 of the
// reply buffer becomes InputPending either way.
static void RequestInput(UCHAR Command, PEER_SITE *Site)
{
    NTSTATUS Status;
    SendPeerCommand(Command, &DriverState.InputReply[0], PeerInputReplySize, Site, &Status);
    DriverState.DeviceStatusRecord.InputPending.Store(DriverState.InputReply[0].Load());
}

static void RefreshPanel(MONITOR_STATE *State)
{
    RequestPanel(State, &State->PanelMode3);
    PublishAndRemember(State);
    Wait(&State->ShortWait);
}

static void PollInput(MONITOR_STATE *State)
{
    RequestInput(PeerCommandInput, &State->Input);
    State->InputPollCount = 0;
    PublishStatus();
    Wait(&State->LongWait);
}

// While the frame reports input pending, only every 20th turn asks again.
static void PollPendingInput(MONITOR_STATE *State)
{
    State->InputPollCount = (UCHAR)(State->InputPollCount + 1);
    if (State->InputPollCount == InputRepeatTurns) {
        State->InputPollCount = 0;
        RequestInput(PeerCommandInputRepeat, &State->InputRepeat);
    }
    PublishStatus();
    Wait(&State->LongWait);
}

static void PollMonitorMode(MONITOR_STATE *State)
{
    if (DriverState.ClientActive.Load() == 0 || DriverState.PoweredOff.Load() != 0)
        RefreshPanel(State);
    else if (DriverState.DeviceStatusRecord.InputPending.Load() == 0)
        PollInput(State);
    else
        PollPendingInput(State);
}

// The only wait of a mode-2 turn lies between the publication and the mode
// request; the next turn follows the mode request at once.
static void PollSetupMode(MONITOR_STATE *State)
{
    RequestPanel(State, &State->PanelMode2);
    PublishAndRemember(State);
    Wait(&State->ShortWait);
    RequestMode(&State->ModeReplyMode2, &State->ModeMode2);
}

static void PollOtherMode(MONITOR_STATE *State)
{
    Wait(&State->ShortWait);
    RequestMode(&State->ModeReplyOther, &State->ModeOther);
}

void PollFrame(MONITOR_STATE *State)
{
    if (DriverState.PeerDevice.Load() == nullptr) {
        Wait(&State->ShortWait);
        return;
    }

    UCHAR Mode = DriverState.DeviceStatusRecord.DeviceMode.Load();
    if (Mode == FrameModeMonitor)
        PollMonitorMode(State);
    else if (Mode == FrameModeSetup)
        PollSetupMode(State);
    else
        PollOtherMode(State);
}
