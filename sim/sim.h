// The simulated kernel: the harness interface.
//
// On the host the driver links against the simulated kernel, which provides
// every routine that driver/platform/kvr_platform.h declares: pool, IRQL,
// registry, dispatcher objects, system threads on a virtual clock, the I/O
// manager with a simulated sibling frame driver, plug and play and the video
// port. This header is what tests, the scenario tool, fuzzers and stress
// tests use to build a system, drive it and look into it.
//
// Conventions:
//  - Virtual time is counted in units of 100 ns (the platform's unit for
//    intervals) from 0 at Reset; NowMs() gives whole milliseconds.
//  - Registry paths, value names, device and link names are given and
//    returned as UTF-8 (in practice ASCII) text; the kernel keeps them as
//    UTF-16, as the platform does.
//  - Pool tags are the four bytes in memory order: Tag("ffub") == 0x62756666.
//  - Every harness call first runs all runnable simulated threads until they
//    block (deterministic mode), so the harness always acts at a quiet
//    instant.
//  - Nothing here is safe to call from inside a driver callback or a
//    simulated thread, except where said.

#ifndef KVR_SIM_H
#define KVR_SIM_H

// The C library's declarations must come before the platform header's own
// declaration of strncpy, which lacks the library's noexcept.
#include <cstring>
#include <cstdint>
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../driver/platform/kvr_platform.h"

namespace sim
{

// ---------------------------------------------------------------------------
// Lifecycle

// A verifier finding: what went wrong and when (virtual time).
struct Violation {
    std::string Text;
    int64_t Time;
};

enum class Mode {
    // Simulated threads are fibers on the calling OS thread; time moves only
    // when every simulated thread is blocked. Same inputs, same trace.
    Deterministic,
    // Simulated threads are real threads; the virtual clock follows the wall
    // clock, scaled (see Options::RealMicrosPerVirtualMs).
    FreeRunning,
};

// The Windows version whose documented behaviour the kernel follows. The
// driver model runs on Vista and 7 (and their server editions) only; the
// verifier names the version in its findings.
enum class Target {
    Windows7x64,
    WindowsVistax64,
};
const char *TargetName(Target target); // "Windows 7 x64", "Windows Vista x64"

struct Options {
    Target TargetOs = Target::Windows7x64;
    // Whether the update that adds RTL_QUERY_REGISTRY_TYPECHECK to Vista and 7
    // is installed; without it those versions ignore the flag.
    bool RegistryTypecheckUpdate = false;
    // The environment that RtlQueryRegistryValues expands REG_EXPAND_SZ
    // references from when the caller passes none: the system process has
    // none of the user's variables. "NAME=value" entries.
    std::vector<std::string> SystemEnvironment;
    Mode RunMode = Mode::Deterministic;
    // Free-running mode: real microseconds per virtual millisecond. The
    // default makes a 250 ms wait a 5 ms real sleep.
    uint32_t RealMicrosPerVirtualMs = 20;
    // Stack size of each simulated thread.
    size_t ThreadStackSize = 256 * 1024;
    // Records and logs; each can be switched off for long runs.
    bool TraceEnabled = true;       // the ordered event log (Trace())
    bool RecordWaits = true;        // Waits()
    bool RecordRegistry = true;     // RegistryWrites(), RegistryQueries()
    bool RecordPeerRequests = true; // PeerRequests()
    bool PoolLog = false;           // PoolLog()
    // Registry keys created at Reset (absolute \Registry\Machine paths;
    // intermediate keys are created too).
    std::vector<std::string> Keys;
    // Whether \Device\KEVO-0 exists from the start.
    bool PeerPresent = true;
    // Whether the verifier reports a reported byte of a control request that
    // still holds the system buffer's pattern (see Ioctl). The kernel cannot
    // see plain stores, so a byte that the miniport writes with the
    // pattern's own value looks unwritten: runs whose replies may hold any
    // byte (fuzzing, random stress) switch the check off.
    bool CheckReplyBytes = true;
};

// A brand-new kernel: the threads of the previous run are torn down (also
// ones that never return), every object, record, counter and injected fault
// is gone, the clock is 0 and the registry holds only Options::Keys.
void Reset(const Options &options = Options{});

// Tears the kernel down and runs the teardown checks (leaked pool, held
// references); their findings join Violations(), which stay readable until
// the next Reset. Returns the complete list.
std::vector<Violation> Shutdown();

const Options &CurrentOptions();

// ---------------------------------------------------------------------------
// Time and threads

constexpr int64_t TicksPerMs = 10000; // 100-ns units per millisecond

int64_t Now();    // virtual time, 100-ns units
uint64_t NowMs(); // virtual time, whole milliseconds

// Deterministic mode: runs every runnable simulated thread until each one is
// blocked. Free-running mode: returns at once.
void RunUntilIdle();
// Moves the clock forward by ms (to an absolute time), stopping at each
// wake-up on the way and running everything due at or before it; on return
// every thread due at or before the new time has run and blocked again.
// Free-running mode: sleeps until the virtual clock has passed the time.
void Advance(uint64_t ms);
void AdvanceTo(uint64_t ms);
void AdvanceTicks(int64_t ticks);
void AdvanceToTicks(int64_t time);
// The earliest time at which a blocked thread wakes (deterministic mode).
std::optional<int64_t> NextWakeTime();

struct ThreadInfo {
    uint32_t Id; // 1, 2, ... in creation order; 0 is the harness context
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    bool Finished;    // the start routine returned
    bool Blocked;     // waiting (deterministic mode)
    int64_t WakeTime; // when blocked on a timed wait, else -1
};
std::vector<ThreadInfo> Threads();
size_t LiveThreadCount();
// Makes the next n calls of PsCreateSystemThread fail (STATUS_INSUFFICIENT_RESOURCES).
void FailNextThreadCreations(unsigned n);
// Deterministic mode: while on, a thread that PsCreateSystemThread creates
// does not run before the next call from outside into the driver has
// returned (after LoadDriver, that is the adapter start): the platform gives
// no order between a new thread's first instruction and its creator's next
// steps, and this is the other order than the default one, where the new
// thread runs at the next harness call. Off by default; Reset turns it off.
void HoldNewThreads(bool hold);
// Free-running mode: asks every simulated thread to stop and waits until
// they have: a wait begun (or in progress) after the request unwinds its
// thread to the thread's base. Reset and Shutdown do this themselves.
void StopThreads();
// The id of the calling simulated thread (0 for the harness context).
uint32_t CurrentThreadId();

// One record per KeDelayExecutionThread and per timed KeWaitForSingleObject.
struct WaitRecord {
    uint32_t Thread;
    int64_t Time;     // when the wait began
    int64_t Interval; // as given (negative: relative, 100-ns units)
    bool Delay;       // KeDelayExecutionThread (else KeWaitForSingleObject)
};
const std::vector<WaitRecord> &Waits();
uint64_t WaitCount(); // counted even when RecordWaits is off

// ---------------------------------------------------------------------------
// IRQL

// The IRQL of the calling context (harness context or simulated thread).
KIRQL Irql();
// Sets the IRQL of the calling context, for calling a driver routine at
// APC_LEVEL or DISPATCH_LEVEL in a test. No verifier check.
void SetIrql(KIRQL irql);

// ---------------------------------------------------------------------------
// Verifier

const std::vector<Violation> &Violations();
void ClearViolations();
// Called for each violation as it is recorded (for example to fail a test at
// the point of the fault). Pass an empty function to remove it. Like the
// trace observer, it must not call back into the kernel.
void SetViolationObserver(std::function<void(const Violation &)> observer);
// Declares pool of this tag that may legitimately still be allocated at
// teardown (the driver keeps some buffers for its whole life).
void ExpectSurvivingPool(ULONG tag);
// Declares that references on objects of this named device may still be
// held at teardown.
void ExpectSurvivingReferences(std::string_view deviceName);

// ---------------------------------------------------------------------------
// Pool

// Freed blocks are held back (poisoned) in a line of this many before their
// memory is used again: a second free, or a read through a stale pointer,
// within that many frees is recognised.
constexpr size_t PoolHeldBackBlocks = 4096;

constexpr ULONG Tag(const char (&text)[5])
{
    return (ULONG)(uint8_t)text[0] | (ULONG)(uint8_t)text[1] << 8 | (ULONG)(uint8_t)text[2] << 16 |
           (ULONG)(uint8_t)text[3] << 24;
}
std::string TagText(ULONG tag); // "ffub"

struct PoolStats {
    uint64_t OutstandingCount = 0;
    uint64_t OutstandingBytes = 0;
    uint64_t Allocations = 0; // successful
    uint64_t Frees = 0;
    uint64_t FailedAllocations = 0; // by injection
    uint64_t TotalBytes = 0;        // allocated over the run
    uint64_t PeakBytes = 0;         // of outstanding bytes
    uint64_t PeakCount = 0;
};
PoolStats PoolStatsForTag(ULONG tag);
PoolStats PoolTotals();
std::vector<std::pair<ULONG, PoolStats>> PoolStatsByTag(); // sorted by tag

// Fault injection: the next n allocations fail; the nth from now fails (1 is
// the next one); every allocation of a tag fails until cleared.
void FailNextAllocations(unsigned n);
void FailAllocationAt(unsigned nth);
void FailAllocationsOfTag(ULONG tag, bool fail = true);
void ClearPoolFaults();

struct PoolEvent {
    int64_t Time;
    bool Free;
    POOL_TYPE Type; // allocations
    SIZE_T Bytes;
    ULONG Tag;
    const void *Address;
    bool Failed; // an injected failure
};
const std::vector<PoolEvent> &PoolLog(); // kept when Options::PoolLog

// ---------------------------------------------------------------------------
// Registry

struct RegValue {
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

bool CreateKey(std::string_view path); // creates missing intermediate keys
bool DeleteKey(std::string_view path); // with its values and subkeys
bool KeyExists(std::string_view path);
// Sets a value of any type and bytes; the key must exist (false if not).
bool SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data);
bool SetDword(std::string_view path, std::string_view name, ULONG value);
// REG_SZ (or REG_EXPAND_SZ) from ASCII text, stored as UTF-16 with a terminator.
bool SetString(std::string_view path, std::string_view name, std::string_view text,
               ULONG type = REG_SZ);
bool DeleteValue(std::string_view path, std::string_view name);
std::optional<RegValue> GetValue(std::string_view path, std::string_view name);
// The same into the caller's record (its storage reused); false, the record
// untouched, when the key or the value is missing.
bool GetValueInto(std::string_view path, std::string_view name, RegValue &value);
// The values of a key in the order they were first created.
std::vector<std::pair<std::string, RegValue>> Values(std::string_view path);

// Fault injection. A failed write leaves the stored value as it was; a
// failed read returns the status without touching any target.
void FailRegistryWrites(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);
void FailRegistryReads(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);
// Every write (read) of a value of this name fails until cleared.
void FailRegistryValueWrites(std::string_view name, NTSTATUS status = STATUS_UNSUCCESSFUL);
void FailRegistryValueReads(std::string_view name, NTSTATUS status = STATUS_UNSUCCESSFUL);
void ClearRegistryFaults();

struct RegWrite {
    int64_t Time;
    std::string Key; // the path as the caller gave it
    std::string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
    NTSTATUS Status;
};
struct RegQuery {
    int64_t Time;
    ULONG RelativeTo;
    std::string Key;
    std::vector<std::string> Names; // the table's value names, in order
    NTSTATUS Status;
};
const std::vector<RegWrite> &RegistryWrites();
const std::vector<RegQuery> &RegistryQueries();
uint64_t RegistryWriteCount(); // counted even when RecordRegistry is off
uint64_t RegistryQueryCount();
// The write attempts by outcome, counted even when RecordRegistry is off: a
// change stores other bytes or another type than the value held (or makes
// the value), a rewrite the same ones; a refused write stores nothing.
struct RegistryWriteOutcomes {
    uint64_t Changes = 0, Rewrites = 0, Refused = 0;
};
RegistryWriteOutcomes RegistryWriteOutcomeCounts();

// ---------------------------------------------------------------------------
// Objects and I/O

struct DeviceInfo {
    std::string Name; // empty for an unnamed device
    PDEVICE_OBJECT Object;
    PDRIVER_OBJECT Driver; // null for the sibling's device
    ULONG ExtensionSize;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
};
std::vector<DeviceInfo> Devices(); // devices that exist, in creation order

struct CreateDeviceCall {
    int64_t Time;
    std::string Name;
    ULONG ExtensionSize;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
    NTSTATUS Status;
};
const std::vector<CreateDeviceCall> &CreateDeviceCalls();
void FailNextDeviceCreations(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

struct SymbolicLinkCall {
    int64_t Time;
    std::string Link;
    std::string Device;
    NTSTATUS Status;
};
const std::vector<SymbolicLinkCall> &SymbolicLinkCalls();
std::optional<std::string> SymbolicLinkTarget(std::string_view link);

struct OpenCall { // IoGetDeviceObjectPointer
    int64_t Time;
    std::string Name;
    ACCESS_MASK Access;
    NTSTATUS Status;
};
const std::vector<OpenCall> &OpenCalls();
void FailNextOpens(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);

// Reference counts: of a device or file object (-1 for an unknown object).
LONG ReferenceCount(const void *object);
// File objects opened and not yet dereferenced to zero.
size_t OpenFileObjects();

// The next n calls of IoBuildDeviceIoControlRequest return null.
void FailNextRequestBuilds(unsigned n);

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
// STATUS_OBJECT_NAME_COLLISION until then.
enum class PeerRemoval { Surprise, Orderly, Refused };
void RemovePeer(PeerRemoval how);
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

// ---------------------------------------------------------------------------
// Plug and play

// \??\USB#VID_vvvv&PID_pppp#INSTANCE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
std::string UsbInterfaceName(std::string_view vid, std::string_view pid, std::string_view instance);
// The same into a string kept by the caller (its storage reused).
void UsbInterfaceNameInto(std::string &name, std::string_view vid, std::string_view pid,
                          std::string_view instance);
// Adds (removes) the interface to (from) the present set and calls every
// device-interface callback registered for the USB device class.
void PlugUsb(std::string_view vid, std::string_view pid, std::string_view instance);
void UnplugUsb(std::string_view vid, std::string_view pid, std::string_view instance);
std::vector<std::string> PresentInterfaces();

// A raw device-interface notification to every device-interface callback
// (whatever class they registered for): any event and class GUID, and a
// symbolic-link name of any bytes. byteLength becomes Length (odd counts
// allowed); nullBuffer gives a name whose Buffer is null.
void PostInterfaceChange(const GUID &event, const GUID &interfaceClass,
                         std::span<const uint8_t> nameBytes, bool nullBuffer = false);
void PostInterfaceChange(const GUID &event, const GUID &interfaceClass, std::string_view name);
// A hardware-profile change to every profile callback.
void PostHardwareProfileChange(const GUID &event);

// How the arrivals of interfaces already present are reported to a
// device-interface registration made with
// PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES. The platform may
// call the callback twice for one existing interface (never more than
// twice), and calls it from the plug-and-play manager's own threads, so a
// call may come after the registration has returned. Copies: calls per
// present interface, 1 or 2. Later: how many of them (the last ones) come
// from a plug-and-play thread after the registration has returned; the
// others are made during the registration on the registering context, as
// by default (Copies 1, Later 0). The plug-and-play thread first waits
// LaterMs of virtual time. Out-of-range values are clamped.
struct ExistingArrivals {
    unsigned Copies = 1;
    unsigned Later = 0;
    uint32_t LaterMs = 0;
};
void SetExistingArrivals(ExistingArrivals delivery);

struct PnpRegistration {
    int64_t Time;
    IO_NOTIFICATION_EVENT_CATEGORY Category;
    ULONG Flags;
    GUID InterfaceClass;     // device-interface category; zero otherwise
    PFILE_OBJECT TargetFile; // target-device category: the file object; else null
    PDRIVER_OBJECT Driver;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback;
    PVOID Context;
    NTSTATUS Status;
};
const std::vector<PnpRegistration> &PnpRegistrations(); // every call, also failed ones
// Registrations not (yet) removed with IoUnregisterPlugPlayNotification.
size_t ActivePnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category);
void FailNextPnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category, unsigned n,
                              NTSTATUS status = STATUS_UNSUCCESSFUL);
// Statuses that the callbacks returned, in call order.
const std::vector<NTSTATUS> &NotificationResults();

// ---------------------------------------------------------------------------
// Video port

typedef NTSTATUS (*DriverEntryRoutine)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

constexpr std::string_view DefaultRegistryPath =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvrminiport";

// Creates the driver object and calls DriverEntry at PASSIVE_LEVEL on the
// harness context; returns its status.
NTSTATUS LoadDriver(DriverEntryRoutine entry, std::string_view registryPath = DefaultRegistryPath);
PDRIVER_OBJECT DriverObject();

// The status that VideoPortInitialize returns (default 0) and failure
// injection (the next n calls return status, whatever the table holds).
void SetVideoPortInitializeStatus(ULONG status);
void FailNextVideoPortInitialize(unsigned n, ULONG status = (ULONG)STATUS_UNSUCCESSFUL);

struct VideoPortInitializeCall {
    int64_t Time;
    PVOID Argument1;
    PVOID Argument2;
    ULONG HwInitDataSize;
    PVOID HwContext;
    VIDEO_HW_INITIALIZATION_DATA Table; // the copy kept (zero if the size was wrong)
    ULONG Status;
};
const std::vector<VideoPortInitializeCall> &VideoPortInitializeCalls();
// The callback table kept by the last successful VideoPortInitialize.
const VIDEO_HW_INITIALIZATION_DATA *HwInitData();

// The adapter's device through its life, as the plug-and-play manager and
// the video port drive it. A Plug and Play table (one that has the power
// and child callbacks) gets its adapter at StartAdapter; any other table
// was detected inside VideoPortInitialize.
//
// The next n AddDevice calls fail (the adapter gets no device), or the next
// n starts fail below the video port, before HwFindAdapter is called (the
// device is then removed).
void FailNextAddDevices(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextAdapterStarts(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);

struct StartAdapterResult {
    VP_STATUS FindStatus;    // HwFindAdapter's (ERROR_NO_MORE_DEVICES when it was not called)
    NTSTATUS DeviceStatus;   // of AddDevice, or of the start
    bool ExtensionUntouched; // the device extension still all zero afterwards
    UCHAR Again;             // the again flag after HwFindAdapter (preset 0)
};
// The video port's AddDevice for the adapter (nothing when it has its
// device already); a failure leaves the driver without a device.
NTSTATUS AddAdapter();
// AddDevice when the adapter has no device (\Device\VideoN, exclusive),
// then the start: HwFindAdapter with a zeroed device extension of the
// requested size. A start that fails removes the device. May be called
// again (the adapter is stopped and started again). HwInitialize is not
// called here: it runs at the display driver's open.
StartAdapterResult StartAdapter();
// The display driver (a kernel caller, as win32k loads it) opens the video
// device: refused before the start or while it is open already (the device
// is exclusive); the first open of a start calls HwInitialize, whose FALSE
// fails the open. Ioctl opens it itself when it is not open yet.
NTSTATUS OpenVideoDevice();
void CloseVideoDevice();
// A user process's open of the video device: always refused.
NTSTATUS OpenVideoDeviceFromUserMode();
std::string VideoDeviceName(); // "\Device\Video0", or empty without a device
// Removes the adapter's device: a surprise removal always; an orderly one
// (a disable) is refused while the display driver has the device open.
// Once the driver has no device and nothing references its driver object
// (beyond the loader; each notification registration references it), the
// driver is unloaded: what is left of it then (threads, thread handles,
// registrations, links, pool) are findings, and a thread of the unloaded
// image that would run again is a finding (bug check 0xCE) and never runs.
// An enable after that is a new LoadDriver and StartAdapter.
bool RemoveAdapter(bool surprise = false);
bool DriverUnloaded();

// System power as the video port delivers it to an adapter without
// children: HwGetPowerState, then, if it answered NO_ERROR, HwSetPowerState,
// both for DISPLAY_ADAPTER_HW_ID: VideoPowerOff for sleep, VideoPowerHibernate
// for hibernation, VideoPowerOn at resume; every other state is entered from
// VideoPowerOn. Returns the last callback's status (NO_ERROR when nothing
// was to be done).
enum class SystemPower { Sleep, Hibernate, Resume };
VP_STATUS SetSystemPower(SystemPower transition);

PVOID DeviceExtension();

struct IoctlResult {
    bool Delivered;              // HwStartIO was called (the adapter started and open)
    BOOLEAN Returned;            // what HwStartIO returned
    VP_STATUS Status;            // the status block's Status
    ULONG_PTR Information;       // the status block's Information
    std::vector<uint8_t> Output; // the bytes copied back to the caller
};
// A METHOD_BUFFERED request from the display driver (EngDeviceIoControl) to
// the video device, and through it to HwStartIO, as the I/O manager makes
// it. Before the adapter is started, or when the display driver's open
// fails, nothing reaches the miniport: Status is ERROR_NOT_READY.
// one system buffer of max(input, output) bytes, the input copied in, the
// rest holding the pattern `prefill` (pool memory is not zeroed). Status is
// preset to presetStatus and Information to presetInformation, so a test can
// see whether the driver set them (the I/O manager presets 0).
//
// Completion: unless the status is an error (anything but NO_ERROR and
// ERROR_MORE_DATA), and only when the caller gave an output buffer, the
// caller receives exactly Information bytes. Findings: Information above
// the output length; above the system buffer; and every reported byte past
// the input that still holds the pattern (neither the caller's nor written
// by the miniport), unless Options::CheckReplyBytes is off. A count that a
// test preset and the miniport left alone is not checked, and only what
// fits the output is copied.
//
// Callable from another real thread in free-running mode; as on the
// platform, HwStartIO sees one request at a time.
IoctlResult Ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength,
                  uint8_t prefill = 0xCC, ULONG_PTR presetInformation = 0,
                  VP_STATUS presetStatus = 0);

VP_STATUS SetPowerState(ULONG state, ULONG hwId = DISPLAY_ADAPTER_HW_ID);
VP_STATUS GetPowerState(ULONG state, ULONG hwId = DISPLAY_ADAPTER_HW_ID,
                        VIDEO_POWER_MANAGEMENT *reply = nullptr);
struct ChildResult {
    VP_STATUS Status;
    VIDEO_CHILD_TYPE Type;               // as left by the callback (preset 0)
    std::array<uint8_t, 256> Descriptor; // as left (preset 0)
    ULONG UId;                           // as left (preset 0)
};
ChildResult EnumerateChild(ULONG childIndex = 1);

// ---------------------------------------------------------------------------
// The driver's real image

// Takes the real kvrminiport.sys at path into use for the kernels to come,
// with the symbol file the windows-x64 build writes beside it from the PDB
// (kvrminiport.sym): every Reset from then on maps a fresh copy of it (its
// sections protected, relocated, its imports bound to the simulated kernel).
// Returns an empty text, or why the image cannot be used: missing, not an x64
// kernel image, an import the simulated kernel lacks, a symbol file of
// another build, a sanitizer build. Deterministic mode only.
std::string UseImage(std::string_view path);
void StopUsingImage();
bool ImageInUse();
// The mapped image's DriverEntry, for LoadDriver (null before a Reset maps it).
DriverEntryRoutine ImageEntry();
// The address in the mapped image of a global the symbol file names, and the
// offset of a member of one of its structures.
void *ImageData(std::string_view name);
std::optional<size_t> ImageFieldOffset(std::string_view structure, std::string_view member);
// The Microsoft-convention entry point through which the image calls a
// kernel routine it imports (for tests of the crossing); null if none.
const void *ImageThunk(std::string_view routine);
// Declares other code (a test's own Microsoft-convention routines) to be
// called through the crossing like the image's.
void SetForeignCode(const void *begin, const void *end);

// The image's own stack use is measured at every kernel routine it calls: the
// bytes of its frames on that context. Above this budget is a finding. A
// Windows x64 kernel thread has a 24 KiB stack (KERNEL_STACK_SIZE); the
// driver shares it with the frames of whoever called it (the I/O manager and
// video port's dispatch of a request, or the plug-and-play manager's worker)
// and of the kernel routines it calls (the registry routines, the sibling
// driver's dispatch under IofCallDriver, an interrupt arriving on top), so it
// gets a third of it.
constexpr size_t ImageStackBudget = 8 * 1024;
struct ImageStackUse {
    size_t Deepest = 0;  // bytes, over the kernel's life so far
    std::string Routine; // the kernel routine the image called there
};
ImageStackUse ImageStack();

// ---------------------------------------------------------------------------
// Trace

enum class TraceKind {
    Boot,    // DriverEntry returned: Status
    Notify,  // a device-interface notification: Text = arrival|removal|other, Name
    Open,    // IoGetDeviceObjectPointer: Name, Ok, Status
    Release, // a reference dropped on a file object of the sibling's device
    Request, // a peer request: Command, Status, or NoBuild
    Reg,     // a registry write attempt: Key, Name, Type, Data, Ok, Status
    Ioctl,   // a control request: Code, Status, Information, Data (output copied back)
    Power,   // HwSetPowerState: Code = state, Status
    // A peer request that was left pending is completed (by the sibling, or
    // cancelled with its thread): Command, Status.
    Complete,
    // A zero-timeout wait on the event of a peer request still pending timed
    // out: the caller found that request outstanding. Command.
    Busy,
    Adapter, // the adapter's device: Text = add|start|open|remove|unload, Status
    // Plug and play of the sibling's device: Text = surprise-removal,
    // query-remove, remove-cancelled (Name: why), remove-complete, remove,
    // add (Status), register, unregister (a target-device registration).
    Pnp,
};

struct TraceEvent {
    int64_t Time;
    TraceKind Kind;
    NTSTATUS Status = 0;
    bool Ok = false;
    bool NoBuild = false;
    bool Changed = false; // Reg: the write changed the stored type or bytes (or made the value)
    ULONG Code = 0;       // Ioctl: the control code; Power: the state; Reg: the type
    UCHAR Command = 0;    // Request
    ULONG_PTR Information = 0;
    std::string Text; // Notify: arrival|removal|other; Reg: the key path
    std::string Name; // Notify: symbolic-link name; Open: device; Reg: value name
    std::vector<uint8_t> Data;
};

void SetTraceEnabled(bool enabled);
// Switches every record and log of Options at once (the trace, waits,
// registry and peer-request records), for the long stretches of a run.
void SetRecording(bool enabled);
const std::vector<TraceEvent> &Trace();
// Called for every event as it is recorded (also when the log is off), on
// the context that caused it. In free-running mode it runs under the
// kernel's lock: it must not call back into the kernel.
void SetTraceObserver(std::function<void(const TraceEvent &)> observer);
const char *TraceKindName(TraceKind kind); // "boot", "notify", ...

} // namespace sim

#endif // KVR_SIM_H
