// The link to the sibling frame driver's device: opening it, the
// target-device-change registration on its file object, the use of it by
// requests, and letting go of it, from the monitor thread or, when plug and
// play removes the device, at once from the notification.
//
// When the sibling's device is removed, its REMOVE waits until every file
// object on it is closed, and a query-remove fails while one is open. So the
// driver registers for target-device-change notification on the file object
// it opens, closes it on a query-remove or a completed removal (a surprise
// removal gives only the latter), and opens the device again when a removal
// is cancelled. The link's state (PeerLink, state.h) says which of these
// holds. IoUnregisterPlugPlayNotification on Vista does not wait for a call
// of the callback under way, which may still come after it returns, and the
// address of a closed file object may be a new one's by then: each open has
// a generation, passed as its registration's context, and the callback acts
// only on the registration of the generation in force.
//
// Nobody waits for anybody: whoever uses the file object beyond PeerLock (a
// request being sent, a registration being made) holds a reference of its
// own on it, so letting go drops the open's reference at once.

#include "monitor.h"

// The plain fields PeerLock guards (PeerLink, PeerGeneration, PeerFile,
// PeerNotifyEntry) are a region of fields for the host build's interleaving
// explorer (kvr_shared.h); nothing in the image.
static void AcquirePeerLock()
{
    KeWaitForSingleObject(&DriverState.PeerLock, Executive, KernelMode, FALSE, nullptr);
    EnterFieldRegion(&DriverState.PeerLock);
}

static void ReleasePeerLock()
{
    LeaveFieldRegion(&DriverState.PeerLock);
    KeReleaseMutex(&DriverState.PeerLock, FALSE);
}

static bool SameGuid(const GUID *a, const GUID *b)
{
    return RtlCompareMemory(a, b, sizeof(GUID)) == sizeof(GUID);
}

// A registration's context: the generation of the open it was made on.
static PVOID ContextOf(ULONG Generation)
{
    return (PVOID)(ULONG_PTR)Generation;
}

// Under PeerLock: nobody finds PeerDevice set from now on. Returns the file
// object whose reference the caller drops (null if closed already).
static PFILE_OBJECT TakePeerFileLocked()
{
    DriverState.PeerDevice.Store(nullptr);
    PFILE_OBJECT File = DriverState.PeerFile;
    DriverState.PeerFile = nullptr;
    return File;
}

// Under PeerLock: the registration, which the caller removes (null if none).
static PVOID TakeRegistrationLocked()
{
    PVOID Entry = DriverState.PeerNotifyEntry;
    DriverState.PeerNotifyEntry = nullptr;
    return Entry;
}

// Unregisters first, then drops the reference, as the registration's
// documentation asks of a driver that holds the file object.
static void LetGo(PVOID Entry, PFILE_OBJECT File)
{
    if (Entry != nullptr)
        IoUnregisterPlugPlayNotification(Entry);
    if (File != nullptr)
        ObfDereferenceObject(File);
}

// Under PeerLock, after the registration of generation Generation returned
// (Entry when Registered): keeps it when the link is still that open's,
// registering (now open, with or without a registration: a refused one
// leaves the monitor's removal handling to let go) or let go of by a
// query-remove (the registration waits for the outcome). Returns whether the
// registration is kept.
static bool FinishRegistrationLocked(ULONG Generation, bool Registered, PVOID Entry,
                                     PDEVICE_OBJECT Device)
{
    if (DriverState.PeerGeneration != Generation)
        return false; // let go of and opened again meanwhile
    ULONG Link = DriverState.PeerLink;
    if (Link == PeerRegistering) {
        DriverState.PeerLink = PeerOpen;
        DriverState.PeerDevice.Store(Device);
    } else if (Link == PeerLettingGo && !Registered) {
        DriverState.PeerLink = PeerClosed; // no outcome will be told
    } else if (Link != PeerLettingGo) {
        return false; // let go of by a detach or a completed removal
    }
    if (Registered)
        DriverState.PeerNotifyEntry = Entry;
    return Registered;
}

bool AttachPeer()
{
    UNICODE_STRING Name;
    PFILE_OBJECT File = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    RtlInitUnicodeString(&Name, PeerDeviceName);
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&Name, FILE_ALL_ACCESS, &File, &Device)))
        return false;

    AcquirePeerLock();
    ULONG Link = DriverState.PeerLink;
    if (Link == PeerRegistering || Link == PeerOpen) {
        // Attached meanwhile by the other context: keep that one.
        ReleasePeerLock();
        ObfDereferenceObject(File);
        return true;
    }
    // A registration left from a removal whose outcome has not come belongs
    // to a file object closed already: the new open gets its own.
    PVOID Stale = TakeRegistrationLocked();
    ULONG Generation = ++DriverState.PeerGeneration;
    DriverState.PeerLink = PeerRegistering;
    DriverState.PeerFile = File;
    // The registration's own reference: a detach or a removal meanwhile
    // drops the open's, never the object the registration is made on.
    ObfReferenceObject(File);
    ReleasePeerLock();
    if (Stale != nullptr)
        IoUnregisterPlugPlayNotification(Stale);

    PVOID Entry = nullptr;
    NTSTATUS Registered = IoRegisterPlugPlayNotification(
        EventCategoryTargetDeviceChange, 0, File, DriverState.DriverObject.Load(), PeerDeviceNotify,
        ContextOf(Generation), &Entry);

    AcquirePeerLock();
    bool Kept = FinishRegistrationLocked(Generation, NT_SUCCESS(Registered), Entry, Device);
    bool Attached = DriverState.PeerLink == PeerRegistering || DriverState.PeerLink == PeerOpen;
    ReleasePeerLock();
    if (!Kept && NT_SUCCESS(Registered))
        IoUnregisterPlugPlayNotification(Entry);
    // Only now may the device's REMOVE come: no registration of this open is
    // left on it unless the link holds it.
    ObfDereferenceObject(File);
    return Attached;
}

void DetachPeer()
{
    AcquirePeerLock();
    PFILE_OBJECT File = TakePeerFileLocked();
    PVOID Entry = TakeRegistrationLocked();
    DriverState.PeerLink = PeerClosed;
    ReleasePeerLock();
    LetGo(Entry, File);
}

PDEVICE_OBJECT BeginPeerUse(PFILE_OBJECT *File)
{
    AcquirePeerLock();
    PDEVICE_OBJECT Peer =
        DriverState.PeerLink == PeerOpen ? DriverState.PeerDevice.Load() : nullptr;
    *File = Peer != nullptr ? DriverState.PeerFile : nullptr;
    if (*File != nullptr)
        ObfReferenceObject(*File);
    ReleasePeerLock();
    return Peer;
}

void EndPeerUse(PFILE_OBJECT File)
{
    ObfDereferenceObject(File);
}

// Runs on the plug-and-play manager's threads at PASSIVE_LEVEL, and waits
// for nobody. Never vetoes: the frame is gone or going, and a monitor has
// nothing to save.
NTSTATUS PeerDeviceNotify(PVOID NotificationStructure, PVOID Context)
{
    auto *Notification = static_cast<TARGET_DEVICE_REMOVAL_NOTIFICATION *>(NotificationStructure);
    bool QueryRemove = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_QUERY_REMOVE);
    bool Complete = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    bool Cancelled = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_REMOVE_CANCELLED);
    if (!QueryRemove && !Complete && !Cancelled)
        return STATUS_SUCCESS;

    AcquirePeerLock();
    ULONG Link = DriverState.PeerLink;
    if (Context != ContextOf(DriverState.PeerGeneration) || Link == PeerClosed ||
        (QueryRemove && Link == PeerLettingGo) || (Cancelled && Link != PeerLettingGo)) {
        // A registration let go of already, called late; or nothing changed
        // (a removal vetoed before it reached this driver is cancelled while
        // the device is still open).
        ReleasePeerLock();
        return STATUS_SUCCESS;
    }
    if (Cancelled) {
        // The old registration goes and the device is opened again, with a
        // registration of its own; the monitor's next turn takes it as a new
        // attachment.
        PVOID Entry = TakeRegistrationLocked();
        DriverState.PeerLink = PeerClosed;
        ReleasePeerLock();
        LetGo(Entry, nullptr);
        if (AttachPeer())
            DriverState.PeerReopened.Store(1);
        return STATUS_SUCCESS;
    }
    // Query-remove: close, and stay registered for the removal's outcome;
    // only a completed removal (also after a surprise removal) loses the
    // frame: close and unregister. A registration AttachPeer is still making
    // is removed by AttachPeer before it drops its own reference, so the
    // device's REMOVE, which waits for the last one, finds none.
    PFILE_OBJECT File = TakePeerFileLocked();
    PVOID Entry = Complete ? TakeRegistrationLocked() : nullptr;
    DriverState.PeerLink = Complete ? PeerClosed : PeerLettingGo;
    if (Complete)
        DriverState.PeerLost.Store(1);
    ReleasePeerLock();
    LetGo(Entry, File);
    return STATUS_SUCCESS;
}
