// The harness interface, the simulated devices: the sibling frame driver and its frame: a part of
// sim.h, which includes every part in order; include sim.h, not this.

#ifndef KVR_SIM_DEVICES_HARNESS_H
#define KVR_SIM_DEVICES_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// The sibling frame driver (\Device\KEVO-0)

constexpr ULONG PeerIoctlCode = 0x22205D;

enum class Completion {
    Now,     // the reply is written and STATUS_SUCCESS returned
    Pending, // STATUS_PENDING; the harness completes the request later
    Fail,    // a failure status, nothing written
    // STATUS_PENDING, as a USB driver answers: the sibling completes the
    // request from a thread of its own, PeerReplyDelayMs of virtual time
    // after it was sent (a transfer to the frame and back).
    Later,
};

// The sibling's delay for Completion::Later: a few milliseconds, the time of
// a control transfer to the frame and its answer on a full-speed bus.
constexpr uint32_t DefaultPeerReplyDelayMs = 4;

void SetPeerPresent(bool present); // absent: opening \Device\KEVO-0 fails

// The sibling's device leaving as plug and play removes it, run by a
// plug-and-play thread of the kernel (from the next harness call on), at
// PASSIVE_LEVEL, as the platform runs removals:
//  - Surprise (the frame unplugged): IRP_MN_SURPRISE_REMOVAL (the sibling
//    fails its pending and new requests with STATUS_NO_SUCH_DEVICE), then
//    GUID_TARGET_DEVICE_REMOVE_COMPLETE to the target-device registrations on
//    the device; IRP_MN_REMOVE_DEVICE only once every file object on it is
//    closed.
//  - Orderly (disable, update, safe removal): GUID_TARGET_DEVICE_QUERY_REMOVE
//    to the registrations; a callback's failure status vetoes, and a file
//    object still open on the device makes the query fail; either cancels the
//    removal (GUID_TARGET_DEVICE_REMOVE_CANCELLED). Otherwise
//    GUID_TARGET_DEVICE_REMOVE_COMPLETE, then IRP_MN_REMOVE_DEVICE.
//  - Refused: as Orderly, but the sibling's stack fails the query-remove
//    itself (another component vetoes), so it is always cancelled.
// The device object, and its name, live until its REMOVE: AddPeer fails with
// STATUS_OBJECT_NAME_COLLISION until then. The sibling's stack answers the
// query of an orderly or refused removal (IRP_MN_QUERY_REMOVE_DEVICE) after
// queryMs of virtual time, with the query-remove callbacks already called.
enum class PeerRemoval { Surprise, Orderly, Refused };
void RemovePeer(PeerRemoval how, uint32_t queryMs = 0);
// The sibling creates \Device\KEVO-0 again (its AddDevice for a frame that
// enumerated again). Returns IoCreateDevice's status.
NTSTATUS AddPeer();
struct PeerRemovalRecord {
    int64_t Start; // when RemovePeer was called
    PeerRemoval How;
    bool Cancelled = false;
    std::string CancelReason;
    int64_t RemoveTime = -1; // IRP_MN_REMOVE_DEVICE; -1 until it is sent
};
const std::vector<PeerRemovalRecord> &PeerRemovals();
// Whether the sibling's pending requests can be cancelled (default true).
// A request is queued to the thread that built it; when that thread ends,
// the I/O manager cancels its requests and waits for them, so they complete
// (STATUS_CANCELLED) while the thread's stack still exists. Without a cancel
// routine the I/O manager gives up waiting, and the request completes later,
// into whatever the stack has become.
void SetPeerCancelsRequests(bool cancels);
bool PeerPresent();
void SetFrameMode(UCHAR mode);                // reply of command 4
void SetFramePanel(UCHAR type, UCHAR aux);    // reply of command 1
void SetFrameInput(UCHAR byte0, UCHAR byte1); // reply of commands 6 and 7
void SetPeerCompletion(Completion completion, NTSTATUS failStatus = STATUS_UNSUCCESSFUL);
// The delay of Completion::Later (DefaultPeerReplyDelayMs at Reset); 0
// completes at the same virtual instant, still from the sibling's thread.
void SetPeerReplyDelayMs(uint32_t ms);
// How long the sibling's dispatch routine takes inside IofCallDriver, on the
// sender's thread, before it answers (a slow stack; 0 at Reset).
void SetPeerDispatchMs(uint32_t ms);

// Completes pending requests, oldest first: the reply (from the frame's
// current answers) is written into the caller's buffer on success, the
// status record set and the event signalled. A request whose reply buffer
// lies in the stack of a thread that no longer exists is a violation, and
// nothing is written into it. Returns the number completed.
size_t PendingPeerRequests();
size_t CompletePeerRequests(NTSTATUS status = STATUS_SUCCESS);
bool CompleteOldestPeerRequest(NTSTATUS status = STATUS_SUCCESS);
// Free-running mode: the sibling completes every pending request from its
// own thread after this many virtual milliseconds (0: it does not).
void SetPeerAutoCompleteMs(uint32_t ms);

struct PeerRequest {
    int64_t Time;
    ULONG Code;
    std::array<uint8_t, 8> Block; // the input bytes (first 8)
    ULONG InputLength;
    ULONG OutputLength;
    UCHAR Command;   // Block[3]
    NTSTATUS Status; // returned by IofCallDriver
    bool Completed;  // completed (now, failed, or later by the harness)
    int64_t CompletionTime;
    NTSTATUS CompletionStatus;
    // Where the sender asked the completion to go: its event and status
    // record (a request site of the driver's is known by them).
    const KEVENT *Event;
    const IO_STATUS_BLOCK *StatusRecord;
};
const std::vector<PeerRequest> &PeerRequests();
uint64_t PeerRequestCount(); // counted even when RecordPeerRequests is off
// What became of the peer requests of one command byte, counted even when
// RecordPeerRequests is off.
struct PeerCommandCounts {
    uint64_t Sent = 0;     // passed to the sibling
    uint64_t Pending = 0;  // of those, left pending
    uint64_t Failed = 0;   // of those, answered with an error status at once
    uint64_t NotBuilt = 0; // IoBuildDeviceIoControlRequest failed
    uint64_t Late = 0;     // pending ones completed later (cancelled included)
    uint64_t Busy = 0;     // zero-timeout waits on a pending one's event that timed out
};
PeerCommandCounts PeerCommandCount(UCHAR command);

} // namespace sim

#endif // KVR_SIM_DEVICES_HARNESS_H
