// Frame link monitor: the driver's system thread, its connection-event
// handling, and the peer command protocol with the sibling frame driver.

#ifndef KVR_MONITOR_H
#define KVR_MONITOR_H

#include "../detect/detect.h"

// What is fixed of the sibling frame driver.
constexpr ULONG PeerIoctl = 0x22205D; // type 0x22, function 0x817, METHOD_IN_DIRECT
static_assert(PeerIoctl == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x817, METHOD_IN_DIRECT, FILE_ANY_ACCESS),
              "peer request code");
constexpr UCHAR PeerCommandPanel = 1; // reply: DeviceInfoRecord, 2 bytes
constexpr UCHAR PeerCommandMode = 4;  // reply: one mode byte
constexpr UCHAR PeerCommandInput = 6; // reply: InputReply, 2 bytes
constexpr UCHAR PeerCommandInputRepeat = 7;
constexpr ULONG PeerCommandBlockSize = 8;
constexpr ULONG PeerPanelReplySize = 2;
constexpr ULONG PeerModeReplySize = 1;
constexpr ULONG PeerInputReplySize = 2;

// The sibling driver's device, opened with FILE_ALL_ACCESS.
constexpr WCHAR PeerDeviceName[] = u"\\Device\\KEVO-0";

// Instance prefix of frames that run an external session instead of being
// attached to.
constexpr UCHAR ExternalSerialPrefixText[6] = {'T', 'Q', 'X', 'R', 'A', '4'};

// Input of every peer request: 1, 2, 0, the command, then two zero words.
struct PEER_COMMAND_BLOCK {
    UCHAR Header0;
    UCHAR Header1;
    UCHAR Header2;
    UCHAR Command;
    USHORT Word0;
    USHORT Word1;
};
static_assert(sizeof(PEER_COMMAND_BLOCK) == PeerCommandBlockSize, "PeerCommandBlock is 8 bytes");

// Relative waits in units of 100 ns.
constexpr LONGLONG MonitorShortWait = -2500000; // 250 ms
constexpr LONGLONG MonitorLongWait = -5000000;  // 500 ms

// The connection event as the monitor took it, with its own copy of the
// identifiers: the notification handler may rewrite the shared texts while
// the event is being handled.
struct MONITOR_EVENT {
    ULONG Event; // EventArrival or EventRemoval
    ULONG Sequence;
    ID_TEXT VidText;
    ID_TEXT PidText;
    ANSI_STRING Vid; // counted views over VidText and PidText
    ANSI_STRING Pid;
    UCHAR SerialPrefix[7];
};

// One request site of the polling step. At most one request of a site is
// outstanding: a request the sibling driver leaves pending keeps the site
// busy until the I/O manager signals the site's completion event, and a turn
// that finds its site busy sends nothing from it. The status block is the
// request's; nothing reads it.
struct PEER_SITE {
    IO_STATUS_BLOCK Status;
    KEVENT Completion;
    bool Pending; // the last request sent from here returned STATUS_PENDING
    // A request from here completed with success (its reply is in the
    // buffer) since the flag was last cleared: at once, or later, as noticed
    // when the site's completion event was found signalled.
    bool Replied;
};

// Everything the monitor thread keeps for its whole life. It lives on the
// thread's stack; requests left pending by the sibling driver complete into
// the status blocks, the events and the mode reply bytes here, so none of
// them may live in a shorter frame.
struct MONITOR_STATE {
    ID_TEXT AttachedPid;
    UCHAR ExternalSerialPrefix[6];
    bool PublishedOnce;
    UCHAR InputPollCount;

    // The request sites: command 1 in mode 3 and in mode 2, command 4 in
    // mode 2 and in the other modes, commands 6 and 7.
    PEER_SITE PanelMode3;
    PEER_SITE PanelMode2;
    PEER_SITE ModeMode2;
    PEER_SITE ModeOther;
    PEER_SITE Input;
    PEER_SITE InputRepeat;

    // Mode reply bytes of the two command-4 sites, written by the sibling
    // driver when it answers.
    Shared<UCHAR> ModeReplyMode2;
    Shared<UCHAR> ModeReplyOther;

    LARGE_INTEGER ShortWait;
    LARGE_INTEGER LongWait;

    FRAME_ID_VIEWS Views;
    MONITOR_EVENT Event;
    ULONG HandledRemoval; // EventSequence of the last removal handled
};

// The monitor thread's start routine; never returns.
void MonitorMain(PVOID StartContext);

// Connection events (events.cpp), handled from the snapshot in State->Event.
void HandleArrival(MONITOR_STATE *State);
void HandleRemoval(MONITOR_STATE *State);
void ReleasePeer(MONITOR_STATE *State);
// A completed removal of the peer's device let go of it since the last
// turn: the records are reset and published as for a removal of the frame.
// A cancelled one opened it again: its panel replies start afresh.
void HandleLostPeer(MONITOR_STATE *State);

// The link to the sibling's device (link.cpp). AttachPeer opens
// \Device\KEVO-0, registers for target-device-change notification on the
// file object and sets PeerDevice; true when the peer ends up attached (by
// this call or by another context meanwhile). DetachPeer removes the
// registration and drops the open's reference. BeginPeerUse gives PeerDevice
// for one request (null: detached) and, in *File, a reference of the
// caller's own on the file object, which EndPeerUse drops: the device stays
// referenced for the request however the link is let go of meanwhile.
bool AttachPeer();
void DetachPeer();
PDEVICE_OBJECT BeginPeerUse(PFILE_OBJECT *File);
void EndPeerUse(PFILE_OBJECT File);
// The target-device-change callback registered on the peer's file object.
NTSTATUS PeerDeviceNotify(PVOID NotificationStructure, PVOID Context);
void SetDeviceRecords(UCHAR DeviceMode, UCHAR LinkState, bool ClearExternalSession);

// One turn's polling work and wait (poll.cpp).
void PollFrame(MONITOR_STATE *State);

// Builds one request to PeerDevice from Site and passes it on without
// waiting. Returns false when nothing was sent: the site's previous request
// is still outstanding, or no request could be built. Otherwise true with
// the sibling driver's status in *Status.
bool SendPeerCommand(UCHAR Command, PVOID Reply, ULONG ReplyLength, PEER_SITE *Site,
                     NTSTATUS *Status);

// Notices, without waiting, whether the site's pending request has completed
// (and with a reply, in Site->Replied).
void NoteSiteCompletion(PEER_SITE *Site);

#endif // KVR_MONITOR_H
