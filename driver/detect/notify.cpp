// UsbInterfaceNotify: turns USB device-interface arrivals and removals into
// the connection event that the monitor thread consumes.
//
// Names of this interface class read "\??\USB#VID_vvvv&PID_pppp#iiiiii...",
// so the IDs and the start of the instance part sit at fixed positions. Each
// character taken is cut to its low 8 bits; nothing is validated or folded.

#include "detect.h"

constexpr USHORT VidPosition = 12;
constexpr USHORT PidPosition = 21;
constexpr USHORT SerialPrefixPosition = 26;
constexpr USHORT SerialPrefixLength = 6;
constexpr USHORT MinimumNameLength = SerialPrefixPosition + SerialPrefixLength; // 32 characters

static bool SameGuid(const GUID *a, const GUID *b)
{
    return RtlCompareMemory(a, b, sizeof(GUID)) == sizeof(GUID);
}

// Characters that the name really holds: none without a buffer.
static USHORT NameCharacters(const UNICODE_STRING *Name)
{
    if (Name == nullptr || Name->Buffer == nullptr)
        return 0;
    return USHORT(Name->Length / sizeof(WCHAR));
}

// Copies Count characters from Position on into Text and zeroes the rest of
// its Size bytes. Characters beyond the name's end are never read: they stay
// zero.
static void TakeNameCharacters(const UNICODE_STRING *Name, USHORT Position, USHORT Count,
                               UCHAR *Text, unsigned Size)
{
    USHORT Available = NameCharacters(Name);
    for (unsigned i = 0; i < Size; ++i) {
        unsigned Index = Position + i;
        bool Present = i < Count && Index < Available;
        Text[i] = Present ? UCHAR(Name->Buffer[Index] & 0xFF) : 0;
    }
}

static void RecordNotifiedTexts(const UNICODE_STRING *Name)
{
    TakeNameCharacters(Name, VidPosition, IdTextSize - 1, DriverState.NotifiedVid, IdTextSize);
    TakeNameCharacters(Name, PidPosition, IdTextSize - 1, DriverState.NotifiedPid, IdTextSize);
    TakeNameCharacters(Name, SerialPrefixPosition, SerialPrefixLength,
                       DriverState.NotifiedSerialPrefix, sizeof(DriverState.NotifiedSerialPrefix));
}

// 1 for an arrival, 2 for a removal, 0 for any other event.
static ULONG CandidateEvent(const DEVICE_INTERFACE_CHANGE_NOTIFICATION *Notification)
{
    if (SameGuid(&Notification->Event, &GUID_DEVICE_INTERFACE_ARRIVAL))
        return EventArrival;
    if (SameGuid(&Notification->Event, &GUID_DEVICE_INTERFACE_REMOVAL))
        return EventRemoval;
    return EventNone;
}

static void SetIdView(ANSI_STRING *View, UCHAR *Text)
{
    View->Length = IdTextSize - 1;
    View->MaximumLength = 16;
    View->Buffer = reinterpret_cast<PCHAR>(Text);
}

static bool IsArrivedFrame(const ARRIVED_FRAME *Slot, const UNICODE_STRING *Name, USHORT Characters)
{
    if (Slot->Characters == 0 || Slot->Characters != Characters)
        return false;
    for (USHORT i = 0; i < Characters; ++i) {
        if (Slot->Name[i] != Name->Buffer[i])
            return false;
    }
    return true;
}

// The slot that holds this name, or null.
static ARRIVED_FRAME *FindArrivedFrame(const UNICODE_STRING *Name)
{
    USHORT Characters = NameCharacters(Name);
    for (ARRIVED_FRAME &Slot : DriverState.ArrivedFrames) {
        if (IsArrivedFrame(&Slot, Name, Characters))
            return &Slot;
    }
    return nullptr;
}

// Into a free slot, or, with every slot taken, into the next one in turn.
static void RememberArrivedFrame(const UNICODE_STRING *Name)
{
    USHORT Characters = NameCharacters(Name);
    if (Characters > ArrivedFrameNameCharacters)
        return;
    ARRIVED_FRAME *Free = nullptr;
    for (ARRIVED_FRAME &Slot : DriverState.ArrivedFrames) {
        if (Slot.Characters == 0) {
            Free = &Slot;
            break;
        }
    }
    if (Free == nullptr) {
        Free = &DriverState.ArrivedFrames[DriverState.NextArrivedFrame];
        DriverState.NextArrivedFrame = (DriverState.NextArrivedFrame + 1) % ArrivedFrameSlots;
    }
    ARRIVED_FRAME &Slot = *Free;
    for (USHORT i = 0; i < Characters; ++i)
        Slot.Name[i] = Name->Buffer[i];
    Slot.Characters = Characters;
}

static void ForgetArrivedFrame(const UNICODE_STRING *Name)
{
    ARRIVED_FRAME *Slot = FindArrivedFrame(Name);
    if (Slot != nullptr)
        Slot->Characters = 0;
}

// An arrival of an interface that arrived before and was not removed since
// is a second report of the same arrival: the platform may call twice for
// an interface present at registration. It posts nothing, so that it changes
// nothing beyond what the first report did. A removal ends the interface's
// presence, so a later arrival of the same name is a new one.
static bool IsSecondReport(ULONG Event, const UNICODE_STRING *Name)
{
    if (Event == EventRemoval) {
        ForgetArrivedFrame(Name);
        return false;
    }
    if (FindArrivedFrame(Name) != nullptr)
        return true;
    RememberArrivedFrame(Name);
    return false;
}

// A removal of a product the monitor watches is kept beside the slot, in
// the record of each watch it matches.
static void KeepWatchedRemoval()
{
    for (unsigned w = 0; w < WatchedFrames; ++w) {
        const UCHAR *Watched = DriverState.WatchedPidText[w];
        if (Watched[0] == 0 || !SameIdText(Watched, DriverState.CurrentPidText))
            continue;
        KEPT_REMOVAL &Kept = DriverState.KeptRemovals[w];
        CopyIdText(Kept.VidText, DriverState.CurrentVidText);
        CopyIdText(Kept.PidText, DriverState.CurrentPidText);
        Kept.Sequence = DriverState.EventSequence;
    }
}

static void PostEvent(ULONG Event)
{
    strncpy(reinterpret_cast<char *>(DriverState.CurrentVidText),
            reinterpret_cast<const char *>(DriverState.NotifiedVid), IdTextSize);
    strncpy(reinterpret_cast<char *>(DriverState.CurrentPidText),
            reinterpret_cast<const char *>(DriverState.NotifiedPid), IdTextSize);
    for (unsigned i = 0; i < sizeof(DriverState.CurrentSerialPrefix); ++i)
        DriverState.CurrentSerialPrefix[i] = DriverState.NotifiedSerialPrefix[i];
    SetIdView(&DriverState.CurrentVid, DriverState.CurrentVidText);
    SetIdView(&DriverState.CurrentPid, DriverState.CurrentPidText);
    ++DriverState.EventSequence;
    if (Event == EventRemoval)
        KeepWatchedRemoval();
    // Publication point: the texts and views above are in place before the
    // monitor can see the event.
    DriverState.PendingEvent.StoreRelease(Event);
}

// Runs entirely under EventLock, so that the monitor takes an event together
// with the identifiers that belong to it. The handler never waits.
NTSTATUS UsbInterfaceNotify(PVOID NotificationStructure, PVOID Context)
{
    (void)Context;
    auto *Notification = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION *>(NotificationStructure);
    const UNICODE_STRING *Name = Notification->SymbolicLinkName;

    AcquireEventLock();
    RecordNotifiedTexts(Name);
    ULONG Event = CandidateEvent(Notification);
    // A name too short to hold the IDs and the instance prefix is no frame's.
    bool Accepted = Event != EventNone && NameCharacters(Name) >= MinimumNameLength &&
                    SameGuid(&Notification->InterfaceClassGuid, &GUID_DEVINTERFACE_USB_DEVICE) &&
                    MatchesFrameVendor(DriverState.NotifiedVid);
    if (Accepted && !IsSecondReport(Event, Name))
        PostEvent(Event);
    // WideModel follows the latest accepted frame event, not the latest device.
    DriverState.WideModel.Store(IsWideModel(DriverState.CurrentPidText) ? 1 : 0);
    ReleaseEventLock();
    return STATUS_SUCCESS;
}
