// The monitor thread: its start steps and its turns, and the taking and
// clearing of the connection event that the notification handler posts.

#include "monitor.h"
#include "../settings/settings.h"

static void InitPeerSite(PEER_SITE *Site)
{
    Site->Status.Status = STATUS_SUCCESS;
    Site->Status.Information = 0;
    KeInitializeEvent(&Site->Completion, NotificationEvent, FALSE);
    Site->Pending = false;
    Site->Replied = false;
}

// Fields are set one by one: the record is large, and a whole-record clear
// could become a call to a run-time routine the kernel image does not have.
static void InitMonitorState(MONITOR_STATE *State)
{
    State->AttachedPid[0] = '0';
    for (unsigned i = 1; i < IdTextSize; ++i)
        State->AttachedPid[i] = 0;
    for (unsigned i = 0; i < sizeof(State->ExternalSerialPrefix); ++i)
        State->ExternalSerialPrefix[i] = ExternalSerialPrefixText[i];
    State->ShortWait.QuadPart = MonitorShortWait;
    State->LongWait.QuadPart = MonitorLongWait;

    InitPeerSite(&State->PanelMode3);
    InitPeerSite(&State->PanelMode2);
    InitPeerSite(&State->ModeMode2);
    InitPeerSite(&State->ModeOther);
    InitPeerSite(&State->Input);
    InitPeerSite(&State->InputRepeat);
    // The sibling driver has not answered yet: the mode reply bytes start at
    // 0, a mode the polling treats like any other it does not act on.
    State->ModeReplyMode2.Store(0);
    State->ModeReplyOther.Store(0);

    State->Event.Event = EventNone;
    State->Event.Sequence = 0;
    State->HandledRemoval = 0;
    State->Event.Vid = {0, 0, nullptr};
    State->Event.Pid = {0, 0, nullptr};
}

// A counted view over the monitor's own copy of an identifier, with the
// length the shared view had (4 once any frame event was posted).
static void ViewIdText(ANSI_STRING *View, const ANSI_STRING *SharedView, UCHAR *Text)
{
    USHORT Length = SharedView->Length;
    if (Length > IdTextSize - 1)
        Length = IdTextSize - 1;
    View->Length = Length;
    View->MaximumLength = IdTextSize;
    View->Buffer = (PCHAR)Text;
}

// Whether sequence a was posted after sequence b, across the counter's wrap.
static bool PostedAfter(ULONG a, ULONG b)
{
    return LONG(a - b) > 0;
}

// Under EventLock: the oldest kept removal that a later notification
// replaced in the slot and that has not been handled yet, or null. Removals
// are handled in the order they were posted, so every kept removal not after
// HandledRemoval has been handled.
static const KEPT_REMOVAL *ReplacedRemoval(const MONITOR_STATE *State)
{
    const KEPT_REMOVAL *Oldest = nullptr;
    for (const KEPT_REMOVAL &Kept : DriverState.KeptRemovals) {
        ULONG Sequence = Kept.Sequence;
        if (Sequence == 0 || !PostedAfter(Sequence, State->HandledRemoval) ||
            Sequence == DriverState.EventSequence)
            continue;
        if (Oldest == nullptr || PostedAfter(Oldest->Sequence, Sequence))
            Oldest = &Kept;
    }
    return Oldest;
}

enum TAKEN_EVENT { TakenNone, TakenEvent, RemovalFirst };

// Takes the posted event with a copy of everything the handling reads, all
// under EventLock, so that a notification arriving meanwhile can neither tear
// the identifiers nor be mistaken for the event taken. A removal that a
// notification replaced in the slot after the turn looked for one is still
// unhandled: it is older than the event now in the slot, so nothing is taken
// (RemovalFirst) and the turn handles the removal first.
static TAKEN_EVENT TakePendingEvent(MONITOR_STATE *State, MONITOR_EVENT *Taken)
{
    ULONG Event = DriverState.PendingEvent.LoadAcquire();
    if (Event != EventArrival && Event != EventRemoval)
        return TakenNone;

    AcquireEventLock();
    if (ReplacedRemoval(State) != nullptr) {
        ReleaseEventLock();
        return RemovalFirst;
    }
    Taken->Event = DriverState.PendingEvent.Load();
    Taken->Sequence = DriverState.EventSequence;
    CopyIdText(Taken->VidText, DriverState.CurrentVidText);
    CopyIdText(Taken->PidText, DriverState.CurrentPidText);
    ViewIdText(&Taken->Vid, &DriverState.CurrentVid, Taken->VidText);
    ViewIdText(&Taken->Pid, &DriverState.CurrentPid, Taken->PidText);
    for (unsigned i = 0; i < sizeof(Taken->SerialPrefix); ++i)
        Taken->SerialPrefix[i] = DriverState.CurrentSerialPrefix[i];
    // Until the turn has handled it, the arrival's frame may come to be held,
    // so its removals are kept too.
    if (Taken->Event == EventArrival)
        CopyIdText(DriverState.WatchedPidText[ArrivingFrame], Taken->PidText);
    ReleaseEventLock();
    return Taken->Event == EventArrival || Taken->Event == EventRemoval ? TakenEvent : TakenNone;
}

// A removal that a later notification replaced in the slot before this turn:
// taken with its own identifiers, so that it is handled before the event
// that replaced it (a re-plug within one turn first releases the old
// reference, then attaches afresh).
static bool TakeReplacedRemoval(MONITOR_STATE *State, MONITOR_EVENT *Taken)
{
    AcquireEventLock();
    const KEPT_REMOVAL *Kept = ReplacedRemoval(State);
    if (Kept != nullptr) {
        Taken->Event = EventRemoval;
        Taken->Sequence = Kept->Sequence;
        CopyIdText(Taken->VidText, Kept->VidText);
        CopyIdText(Taken->PidText, Kept->PidText);
        ANSI_STRING Whole = {IdTextSize - 1, IdTextSize, nullptr};
        ViewIdText(&Taken->Vid, &Whole, Taken->VidText);
        ViewIdText(&Taken->Pid, &Whole, Taken->PidText);
        for (unsigned i = 0; i < sizeof(Taken->SerialPrefix); ++i)
            Taken->SerialPrefix[i] = 0;
        State->HandledRemoval = Kept->Sequence;
    }
    ReleaseEventLock();
    return Kept != nullptr;
}

// Clears the slot only if no notification was accepted since the event was
// taken; a newer event stays for the next turn.
static void FinishEvent(const MONITOR_EVENT *Taken)
{
    AcquireEventLock();
    if (DriverState.EventSequence == Taken->Sequence)
        DriverState.PendingEvent.Store(EventNone);
    // The arrival is handled: its frame is held now (HeldFrame) or not.
    DriverState.WatchedPidText[ArrivingFrame][0] = 0;
    ReleaseEventLock();
}

static void HandleConnectionEvent(MONITOR_STATE *State)
{
    HandleLostPeer(State);
    TAKEN_EVENT Taken;
    do {
        if (TakeReplacedRemoval(State, &State->Event))
            HandleRemoval(State);
        Taken = TakePendingEvent(State, &State->Event);
    } while (Taken == RemovalFirst);
    if (Taken == TakenNone)
        return;
    if (State->Event.Event == EventArrival) {
        HandleArrival(State);
    } else {
        State->HandledRemoval = State->Event.Sequence;
        HandleRemoval(State);
    }
    FinishEvent(&State->Event);
}

// Until one publication has succeeded, every turn ends with one more.
static void PublishUntilOnce(MONITOR_STATE *State)
{
    if (State->PublishedOnce)
        return;
    if (PublishStatus())
        State->PublishedOnce = true;
}

void MonitorMain(PVOID StartContext)
{
    (void)StartContext;
    MONITOR_STATE State;

    InitMonitorState(&State);
    // The slot is left as it is: it is empty at load, and an event found in
    // it now was posted by the adapter start before this thread first ran (a
    // frame plugged in at boot, reported by the registration), so the first
    // turn handles it.
    SetDeviceRecords(0, 0, true); // published at the end of the first turn
    BuildFrameIdViews(&State.Views);
    State.PublishedOnce = false;
    State.InputPollCount = 0;

    for (;;) {
        HandleConnectionEvent(&State);
        PollFrame(&State);
        PublishUntilOnce(&State);
    }
}
