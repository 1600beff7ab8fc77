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
// is cancelled. IoUnregisterPlugPlayNotification on Vista does not wait for a
// call of the callback under way, which may still come after it returns:
// the callback acts only on the file object of the registration in force,
// compared under PeerLock, and its context is the static state.

#include "monitor.h"

// Requests being sent hold the peer for microseconds; whoever lets go of it
// waits for them by this interval.
constexpr LONGLONG PeerUsersPoll = -10000; // 1 ms

// The plain fields PeerLock guards (PeerFile, PeerNotifyFile,
// PeerNotifyEntry, PeerUsers, PeerFileLeft) are a region of fields for the
// host build's interleaving explorer (kvr_shared.h); nothing in the image.
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
    DriverState.PeerNotifyFile = nullptr;
    return Entry;
}

// A request never goes out on a file object already released: the
// reference is dropped only once no request is between BeginPeerUse and
// EndPeerUse.
static void WaitForPeerUsers()
{
    for (;;) {
        AcquirePeerLock();
        ULONG Users = DriverState.PeerUsers;
        ReleasePeerLock();
        if (Users == 0)
            return;
        LARGE_INTEGER Interval;
        Interval.QuadPart = PeerUsersPoll;
        KeDelayExecutionThread(KernelMode, FALSE, &Interval);
    }
}

// Unregisters first, then drops the reference, as the registration's
// documentation asks of a driver that holds the file object.
static void LetGo(PVOID Entry, PFILE_OBJECT File)
{
    if (Entry != nullptr)
        IoUnregisterPlugPlayNotification(Entry);
    WaitForPeerUsers();
    if (File != nullptr)
        ObfDereferenceObject(File);
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
    if (DriverState.PeerFile != nullptr) {
        // Attached meanwhile by the other context: keep that one.
        ReleasePeerLock();
        ObfDereferenceObject(File);
        return true;
    }
    // A registration left from a removal that has not finished belongs to a
    // file object closed already: the new one gets its own.
    PVOID Stale = TakeRegistrationLocked();
    DriverState.PeerFile = File;
    DriverState.PeerNotifyFile = File;
    ReleasePeerLock();
    if (Stale != nullptr)
        IoUnregisterPlugPlayNotification(Stale);

    PVOID Entry = nullptr;
    NTSTATUS Registered = IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, File,
                                                         DriverState.DriverObject.Load(),
                                                         PeerDeviceNotify, nullptr, &Entry);

    AcquirePeerLock();
    // A removal may have let go of the file object while it was registered.
    bool Ours = DriverState.PeerNotifyFile == File;
    if (Ours && NT_SUCCESS(Registered))
        DriverState.PeerNotifyEntry = Entry;
    else if (Ours)
        DriverState.PeerNotifyFile = nullptr;
    bool Attached = DriverState.PeerFile == File;
    if (Attached)
        DriverState.PeerDevice.Store(Device);
    PFILE_OBJECT Left = DriverState.PeerFileLeft;
    DriverState.PeerFileLeft = nullptr;
    ReleasePeerLock();
    if (!Ours && NT_SUCCESS(Registered))
        IoUnregisterPlugPlayNotification(Entry);
    // Only now may the device's REMOVE come: no registration is left on it.
    if (Left != nullptr)
        ObfDereferenceObject(Left);
    return Attached;
}

void DetachPeer()
{
    AcquirePeerLock();
    PFILE_OBJECT File = TakePeerFileLocked();
    PVOID Entry = TakeRegistrationLocked();
    ReleasePeerLock();
    LetGo(Entry, File);
}

PDEVICE_OBJECT BeginPeerUse()
{
    AcquirePeerLock();
    PDEVICE_OBJECT Peer = DriverState.PeerFile != nullptr ? DriverState.PeerDevice.Load() : nullptr;
    if (Peer != nullptr)
        ++DriverState.PeerUsers;
    ReleasePeerLock();
    return Peer;
}

void EndPeerUse()
{
    AcquirePeerLock();
    --DriverState.PeerUsers;
    ReleasePeerLock();
}

// Runs on the plug-and-play manager's threads at PASSIVE_LEVEL. Never
// vetoes: the frame is gone or going, and a monitor has nothing to save.
NTSTATUS PeerDeviceNotify(PVOID NotificationStructure, PVOID Context)
{
    (void)Context;
    auto *Notification = static_cast<TARGET_DEVICE_REMOVAL_NOTIFICATION *>(NotificationStructure);
    bool QueryRemove = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_QUERY_REMOVE);
    bool Complete = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_REMOVE_COMPLETE);
    bool Cancelled = SameGuid(&Notification->Event, &GUID_TARGET_DEVICE_REMOVE_CANCELLED);
    if (!QueryRemove && !Complete && !Cancelled)
        return STATUS_SUCCESS;

    AcquirePeerLock();
    if (Notification->FileObject == nullptr ||
        Notification->FileObject != DriverState.PeerNotifyFile) {
        // A registration removed already, called late.
        ReleasePeerLock();
        return STATUS_SUCCESS;
    }
    if (Cancelled) {
        // Still open (a removal vetoed before it reached this driver):
        // nothing changed. Else the old registration goes and the device is
        // opened again, with a registration of its own.
        bool Open = DriverState.PeerFile != nullptr;
        PVOID Entry = Open ? nullptr : TakeRegistrationLocked();
        ReleasePeerLock();
        if (!Open) {
            LetGo(Entry, nullptr);
            AttachPeer();
        }
        return STATUS_SUCCESS;
    }
    // Query-remove: close, and stay registered for the removal's outcome.
    // Completed removal (also after a surprise removal): close and unregister.
    // A registration without its entry is one AttachPeer is still making
    // (it removes it itself): the file object is left to AttachPeer, so that
    // the device's REMOVE, which follows its closing, finds no registration.
    PFILE_OBJECT File = TakePeerFileLocked();
    bool Registering = Complete && DriverState.PeerNotifyEntry == nullptr;
    PVOID Entry = Complete ? TakeRegistrationLocked() : nullptr;
    if (File != nullptr)
        DriverState.PeerLost.Store(1);
    if (Registering) {
        DriverState.PeerFileLeft = File;
        File = nullptr;
    }
    ReleasePeerLock();
    LetGo(Entry, File);
    return STATUS_SUCCESS;
}
