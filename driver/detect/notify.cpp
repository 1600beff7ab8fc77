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

static void PostEvent(ULONG Event)
{
    strncpy(reinterpret_cast<char *>(DriverState.CurrentVidText),
            reinterpret_cast<const char *>(DriverState.NotifiedVid), IdTextSize);
    strncpy(reinterpret_cast<char *>(DriverState.CurrentPidText),
            reinterpret_cast<const char *>(DriverState.NotifiedPid), IdTextSize);
    SetIdView(&DriverState.CurrentVid, DriverState.CurrentVidText);
    SetIdView(&DriverState.CurrentPid, DriverState.CurrentPidText);
    ++DriverState.EventSequence;
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
    if (Accepted)
        PostEvent(Event);
    // WideModel follows the latest accepted frame event, not the latest device.
    DriverState.WideModel.Store(IsWideModel(DriverState.CurrentPidText) ? 1 : 0);
    ReleaseEventLock();
    return STATUS_SUCCESS;
}
