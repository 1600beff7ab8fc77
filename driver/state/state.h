// DriverState: the one record that holds everything the driver remembers
// beyond a single call.
//
// It is constant-initialised with the values a freshly loaded image has and
// is never torn down. Seven contexts share it: DriverEntry, the adapter start,
// the interface-notification handler, the monitor thread, the sibling driver
// completing a request, HwStartIO and HwSetPowerState. Every field that two of
// them touch is a Shared<T>, read and written whole.
//
// Two places take a lock, both kernel mutexes taken at PASSIVE_LEVEL, so that
// a waiter sleeps instead of spinning on a holder that was preempted:
//  - EventLock guards the connection-event hand-off (the notified texts, the
//    current identifiers and the posting of PendingEvent, the product IDs the
//    monitor watches and the removals kept for them), so that the monitor
//    takes an event together with a consistent copy of its identifiers and
//    clears only the event it took; it is held for a few copies and never
//    across a wait;
//  - DeviceStatusLock serialises the copy-and-write of DeviceStatus, so that
//    the value left in the registry is always the newest record.

#ifndef KVR_STATE_H
#define KVR_STATE_H

#include "../platform/kvr_platform.h"
#include "../platform/kvr_shared.h"

// A vendor or product ID as the interface name gives it: four characters and
// a terminating zero, never converted to a number.
constexpr unsigned IdTextSize = 5;
typedef UCHAR ID_TEXT[IdTextSize];

// Published as DeviceInfo (REG_BINARY, 2 bytes), the record's memory image.
// The sibling driver writes it in place as the reply of peer command 1.
struct DEVICE_INFO_RECORD {
    Shared<UCHAR> PanelType;
    Shared<UCHAR> PanelAux;
};

// Published as DeviceStatus (REG_BINARY, 16 bytes), the record's memory
// image; the two 32-bit words are little-endian.
struct DEVICE_STATUS_RECORD {
    Shared<UCHAR> LinkState;
    Shared<UCHAR> DeviceMode;
    Shared<UCHAR> ExternalSession;
    Shared<UCHAR> PowerOffSeen;
    Shared<UCHAR> InputPending;
    UCHAR Reserved[3]; // always zero; nothing writes them
    Shared<ULONG> SessionParam1;
    Shared<ULONG> SessionParam2;
};

constexpr unsigned DeviceInfoSize = 2;
constexpr unsigned DeviceStatusSize = 16;

static_assert(sizeof(DEVICE_INFO_RECORD) == DeviceInfoSize, "DeviceInfo is 2 bytes");
static_assert(__builtin_offsetof(DEVICE_INFO_RECORD, PanelAux) == 1, "PanelAux at byte 1");
static_assert(sizeof(DEVICE_STATUS_RECORD) == DeviceStatusSize, "DeviceStatus is 16 bytes");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, LinkState) == 0, "LinkState");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, DeviceMode) == 1, "DeviceMode");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, ExternalSession) == 2, "ExternalSession");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, PowerOffSeen) == 3, "PowerOffSeen");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, InputPending) == 4, "InputPending");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, SessionParam1) == 8, "SessionParam1");
static_assert(__builtin_offsetof(DEVICE_STATUS_RECORD, SessionParam2) == 12, "SessionParam2");
static_assert(sizeof(Shared<UCHAR>) == 1 && sizeof(Shared<ULONG>) == 4 &&
                  sizeof(Shared<PVOID>) == sizeof(PVOID),
              "a shared field has the width of its value");

// Byte for byte, case included, up to and including the terminating zero.
inline bool SameIdText(const UCHAR *a, const UCHAR *b)
{
    for (unsigned i = 0; i < IdTextSize; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}

inline void CopyIdText(UCHAR *Destination, const UCHAR *Source)
{
    for (unsigned i = 0; i < IdTextSize; ++i)
        Destination[i] = Source[i];
}

// PendingEvent values.
constexpr ULONG EventNone = 0;
constexpr ULONG EventArrival = 1;
constexpr ULONG EventRemoval = 2;

// PeerLink: the link to the sibling's device, under PeerLock.
//  PeerClosed       nothing held.
//  PeerRegistering  opened; PeerFile holds the open's reference while
//                   AttachPeer, with a reference of its own, registers on it.
//  PeerOpen         PeerFile, its registration and PeerDevice: requests go.
//  PeerLettingGo    a query-remove closed the file object; the registration
//                   (or the one AttachPeer is still making) waits for the
//                   removal's outcome: completed, or cancelled (opened again).
constexpr ULONG PeerClosed = 0;
constexpr ULONG PeerRegistering = 1;
constexpr ULONG PeerOpen = 2;
constexpr ULONG PeerLettingGo = 3;

// A removal kept beside the event slot, with its own identifiers.
struct KEPT_REMOVAL {
    ULONG Sequence; // EventSequence of the removal; 0: none yet
    ID_TEXT VidText;
    ID_TEXT PidText;
};

// The product IDs whose removals are kept (WatchedPidText, KeptRemovals).
constexpr unsigned HeldFrame = 0;
constexpr unsigned ArrivingFrame = 1;
constexpr unsigned WatchedFrames = 2;

constexpr SIZE_T DataFilePathSize = 200; // bytes: 100 UTF-16 code units

// The symbolic-link name of a frame interface that has arrived and not yet
// been removed. Names of this class are far shorter than the slot; a longer
// one is not remembered.
constexpr unsigned ArrivedFrameSlots = 4;
constexpr USHORT ArrivedFrameNameCharacters = 160;
struct ARRIVED_FRAME {
    USHORT Characters; // 0: the slot is free
    WCHAR Name[ArrivedFrameNameCharacters];
};

struct DRIVER_STATE {
    // Start-up and registration.
    Shared<PDRIVER_OBJECT> DriverObject{nullptr};
    Shared<PDEVICE_OBJECT> ControlDevice{nullptr};
    Shared<UCHAR> InterfaceNotifyRegistered{0};
    Shared<UCHAR> ProfileNotifyRegistered{0};
    Shared<WCHAR *> DataFilePath{nullptr};
    HANDLE MonitorThread{nullptr};

    // Connection event, from the notification handler to the monitor. The
    // texts and the two counted strings are touched only under EventLock,
    // which DriverEntry initialises before anything can post an event.
    KMUTEX EventLock{};
    ULONG EventSequence{0}; // bumped by every accepted notification
    ID_TEXT NotifiedVid{};
    ID_TEXT NotifiedPid{};
    UCHAR NotifiedSerialPrefix[7]{};
    ID_TEXT CurrentVidText{'0', 0, 0, 0, 0};
    ID_TEXT CurrentPidText{'0', 0, 0, 0, 0};
    // The instance prefix of the posted event, copied with its IDs: the
    // notified texts are rewritten by every USB device's notification.
    UCHAR CurrentSerialPrefix[7]{};
    ANSI_STRING CurrentVid{0, 0, nullptr};
    ANSI_STRING CurrentPid{0, 0, nullptr};
    Shared<ULONG> PendingEvent{EventNone};
    Shared<UCHAR> WideModel{0};
    // Removals that change what the monitor holds, kept beside the slot so
    // that later notifications that replace them there before the monitor's
    // turn do not lose them: the monitor handles them first, oldest first.
    // The monitor watches two product IDs: the frame it holds as present
    // (HeldFrame: its AttachedPid, which only its removal resets) and the
    // arrival its turn is handling (ArrivingFrame, empty between turns),
    // which it may come to hold before the turn ends. The latest removal of
    // each is kept; a removal of any other product changes nothing the
    // monitor holds. Under EventLock.
    ID_TEXT WatchedPidText[WatchedFrames]{{'0', 0, 0, 0, 0}, {}};
    KEPT_REMOVAL KeptRemovals[WatchedFrames]{};
    // Frame interfaces reported as arrived and not removed since, so that a
    // second report of the same arrival (the platform may report an
    // interface present at registration twice) posts nothing. Under
    // EventLock; the oldest slot is reused when all are taken.
    ARRIVED_FRAME ArrivedFrames[ArrivedFrameSlots]{};
    ULONG NextArrivedFrame{0};

    // Peer link and polling. PeerDevice is set while requests may go to the
    // peer. The monitor thread and the target-device-change callback (the
    // plug-and-play manager's threads) attach and let go of the peer; the
    // link's state, the file object and the registration on it are theirs
    // under PeerLock, which is never held across a call out.
    Shared<PDEVICE_OBJECT> PeerDevice{nullptr};
    KMUTEX PeerLock{};
    ULONG PeerLink{PeerClosed};     // PEER_LINK
    ULONG PeerGeneration{0};        // of the last open: its registration's context
    PFILE_OBJECT PeerFile{nullptr}; // the reference taken at the open: registering and open
    PVOID PeerNotifyEntry{nullptr}; // the registration: open, and let go while one is kept
    // Set when a completed removal of the peer's device let go of it outside
    // the monitor: the monitor resets and publishes the records at its next
    // turn.
    Shared<UCHAR> PeerLost{0};
    // Set when a cancelled removal opened the device again: the monitor's
    // next turn treats it as a new attachment.
    Shared<UCHAR> PeerReopened{0};
    Shared<UCHAR> ClientActive{0};
    Shared<UCHAR> InputReply[2]{};
    DEVICE_INFO_RECORD DeviceInfoRecord{};
    DEVICE_STATUS_RECORD DeviceStatusRecord{};

    // Settings mirrors.
    Shared<ULONG> OrientationValue{0};
    Shared<ULONG> TrayPresent{0};

    // Power.
    Shared<ULONG> PowerState{0};
    Shared<UCHAR> PoweredOff{0};

    // Serialises the copy-and-write of DeviceStatus; initialised by
    // DriverEntry before the video port can call anything else.
    KMUTEX DeviceStatusLock{};
};

extern DRIVER_STATE DriverState;

// EventLock: a kernel mutex, taken only at PASSIVE_LEVEL (by the monitor
// thread and by the plug-and-play manager's notification threads). A thread
// that finds it held sleeps until the holder releases it; nothing spins. The
// identifier texts it guards are copied from the notification's name, which
// may be pageable, so a spin lock at DISPATCH_LEVEL would not do here.
inline void AcquireEventLock()
{
    KeWaitForSingleObject(&DriverState.EventLock, Executive, KernelMode, FALSE, nullptr);
    EnterFieldRegion(&DriverState.EventLock);
}

inline void ReleaseEventLock()
{
    LeaveFieldRegion(&DriverState.EventLock);
    KeReleaseMutex(&DriverState.EventLock, FALSE);
}

#endif // KVR_STATE_H
