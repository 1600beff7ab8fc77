// The simulated kernel's own state, shared by its source files.
//
// One record, Kernel K, holds everything a run creates; Reset replaces it
// whole. In deterministic mode every routine runs on one OS thread (fibers),
// so nothing is locked; in free-running mode every routine takes K.Mutex for
// its bookkeeping and never holds it while it calls into the driver.

#ifndef KVR_SIM_INTERNAL_H
#define KVR_SIM_INTERNAL_H

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "address_table.h"
#include "explore.h"
#include "sim.h"

// The sanitizer a build runs under, if any.
#if defined(__SANITIZE_ADDRESS__)
#define KVR_SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVR_SIM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KVR_SIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVR_SIM_TSAN 1
#endif
#endif

// Set while the interleaving explorer runs; the driver's shared accesses read
// it too (driver/platform/kvr_shared.h).
extern "C" int KvrSwitchPointsOn;

// The kernel objects that the platform header leaves incomplete.

enum class ObjectKind : uint32_t { Driver = 0x44525652, Device = 0x44455649, File = 0x46494c45 };

struct ObjectHeader {
    ObjectKind Kind;
    LONG References;
    bool Dead; // its last reference is gone
};

struct _DRIVER_OBJECT {
    ObjectHeader Header;
    std::u16string RegistryPathText;
    UNICODE_STRING RegistryPath;
};

struct _DEVICE_OBJECT {
    ObjectHeader Header;
    PDRIVER_OBJECT Driver; // null: the sibling frame driver's device
    std::string Name;
    bool InNamespace; // can be opened by name
    // DO_DEVICE_INITIALIZING: set at creation; the I/O manager clears it for
    // devices created in DriverEntry when DriverEntry returns. While it is
    // set, an open by name fails.
    bool Initializing;
    ULONG ExtensionSize;
    std::unique_ptr<uint8_t[]> Extension;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
    bool Sibling;
    unsigned OpenFiles = 0; // file objects on it that still hold their reference
    // Its plug-and-play state (the sibling's device).
    enum class PnpState : uint8_t { Started, RemovePending, SurpriseRemoved, Removed };
    PnpState Pnp = PnpState::Started;
    // Signalled when its last file object closes (a removal waits for it).
    KEVENT Closed{};
    bool RemovalWaiting = false;
};

struct _FILE_OBJECT {
    ObjectHeader Header;
    PDEVICE_OBJECT Device;
};

namespace sim::detail
{
struct Thread;
}

struct _IRP {
    ULONG Code;
    sim::detail::Thread *Thread; // the thread that built it: its IRP queue
    PDEVICE_OBJECT Target;
    std::vector<uint8_t> SystemBuffer; // the input, copied
    PVOID OutputBuffer;                // the caller's own buffer (METHOD_IN_DIRECT)
    ULONG OutputLength;
    PKEVENT Event;
    PIO_STATUS_BLOCK IoStatus;
    bool Internal;
    bool Sent;
    // Its status record, event or reply lies in the building thread's stack
    // (counted in the thread's StackRequests while pending), and that frame
    // has since returned.
    bool InStack;
    uintptr_t ReturnedBelow; // 0, or: the frames below this address have returned
    size_t RecordIndex;      // into PeerRequests, or SIZE_MAX
    uint64_t Sequence;
    int64_t Time; // when it was sent
    int64_t Due;  // Completion::Later: when the sibling completes it; else -1
};

namespace sim::detail
{

constexpr NTSTATUS StatusTimeout = 0x102;
constexpr NTSTATUS StatusInvalidDeviceRequest = (NTSTATUS)0xC0000010u;
constexpr NTSTATUS StatusObjectNameInvalid = (NTSTATUS)0xC0000033u;
constexpr NTSTATUS StatusRevisionMismatch = (NTSTATUS)0xC0000059u;
constexpr NTSTATUS StatusNoSuchDevice = (NTSTATUS)0xC000000Eu;
constexpr NTSTATUS StatusAccessViolation = (NTSTATUS)0xC0000005u;
constexpr NTSTATUS StatusCancelled = (NTSTATUS)0xC0000120u;
constexpr NTSTATUS StatusDeletePending = (NTSTATUS)0xC0000056u;

// ---------------------------------------------------------------------------
// Threads

struct Fiber; // deterministic mode: a saved context and its stack
struct QueryFrame;

// A context's crossing into the real image in progress (image/crossing.cpp):
// the stack pointer at the call (where the image's frames begin), how many
// bytes below it to fill with the stack pattern first, and which of the
// registers the callee must preserve it changed.
struct CrossRecord {
    uint64_t Top = 0;
    uint64_t Fill = 0;
    uint32_t Clobbered = 0;
    uint32_t Reserved = 0;
};

struct Thread {
    uint32_t Id;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    KIRQL Irql = PASSIVE_LEVEL;
    // The IRQL the context was entered at (a thread: PASSIVE_LEVEL; a
    // callback: the level it was called at): nothing may lower below it.
    KIRQL EntryIrql = PASSIVE_LEVEL;
    // The levels KfRaiseIrql returned, most recent last: KeLowerIrql must
    // restore exactly the one returned by the raise it undoes.
    std::vector<KIRQL> Raised;
    bool Finished = false;
    bool Driver = false;   // started by the driver (PsCreateSystemThread)
    bool Orphaned = false; // its driver's image was unloaded: it never runs again
    bool Ending = false;   // its start routine has returned: its frames are gone
    bool Blocked = false;
    bool Harness = false;
    int64_t WakeTime = -1;
    // Mutex acquisitions not yet released, recursive ones included.
    unsigned MutexesOwned = 0;
    // KeReleaseMutex with Wait TRUE returned at DISPATCH_LEVEL: the next call
    // must be a wait, which returns at the IRQL from before the release.
    bool AwaitingWait = false;
    KIRQL IrqlBeforeRelease = PASSIVE_LEVEL;
    // Pending requests whose status record, event or reply lies in this
    // thread's stack.
    unsigned StackRequests = 0;
    // Held back until the outermost call from outside with this number has
    // returned (0: not held).
    uint64_t HeldUntilCall = 0;
    // The stack the thread runs on, for telling whether a buffer lives in it.
    uint8_t *StackBase = nullptr;
    size_t StackSize = 0;
    // Deterministic mode.
    void *SavedSp = nullptr;
    void *AsanFakeStack = nullptr;
    void *TsanFiber = nullptr;
    bool WaitSatisfied = false;
    uint64_t TimerSequence = 0;
    // Free-running mode.
    pthread_t Handle{};
    bool Started = false;
    jmp_buf Base;
    // Storage of the thread's RtlQueryRegistryValues calls in progress, one
    // frame for each depth, kept for its next calls.
    std::vector<std::unique_ptr<QueryFrame>> QueryFrames;
    size_t QueryDepth = 0;
    // The real image's stack on this context: the crossing in progress, the
    // image's bytes in the frames of the crossings around it, and its bytes
    // at its last call of a kernel routine.
    CrossRecord Cross;
    size_t ImageUsedOutside = 0;
    size_t ImageUseAtCall = 0;
};

struct TimerEntry {
    int64_t Time;
    uint64_t Sequence;
    Thread *Owner;
    bool operator>(const TimerEntry &other) const
    {
        return Time != other.Time ? Time > other.Time : Sequence > other.Sequence;
    }
};

// ---------------------------------------------------------------------------
// Pool

struct PoolBlock {
    SIZE_T Bytes;
    ULONG Tag;
    POOL_TYPE Type;
};

// ---------------------------------------------------------------------------
// Registry

struct RegistryValue {
    std::u16string Name;  // as first written
    std::u16string Upper; // upcased, for look-ups
    sim::RegValue Value;
};

// Look-up forms of key paths compared as bytes, in one go (the library's
// comparison goes character by character).
struct SameKeyId {
    bool operator()(const std::u16string &a, const std::u16string &b) const
    {
        return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
    }
};

struct RegistryKey {
    std::u16string Path; // as first created
    std::vector<RegistryValue> Values;
};

// A key's look-up form hashed from its length and three of its 8-byte words
// (its start, middle and end, where keys under one parent differ): a few
// instructions whatever the length. Being cheap, it is computed for every
// look-up rather than the map scanning a small map's keys one by one. Not
// declared noexcept, so that the map keeps each key's hash in its node and
// walks a bucket comparing those instead of hashing every key it passes.
struct KeyIdHash {
    size_t operator()(const std::u16string &id) const
    {
        size_t bytes = id.size() * sizeof(char16_t);
        const char *text = (const char *)id.data();
        uint64_t h = bytes * 0x9E3779B97F4A7C15ull;
        if (bytes >= 8) {
            uint64_t first, middle, last;
            memcpy(&first, text, 8);
            memcpy(&middle, text + (bytes - 8) / 2, 8);
            memcpy(&last, text + bytes - 8, 8);
            h = (h ^ first) * 0xFF51AFD7ED558CCDull;
            h = (h ^ middle) * 0xC4CEB9FE1A85EC53ull;
            h = (h ^ last) * 0xFF51AFD7ED558CCDull;
        } else {
            for (size_t i = 0; i < bytes; ++i)
                h = (h ^ (uint8_t)text[i]) * 0xC4CEB9FE1A85EC53ull;
        }
        return (size_t)(h ^ (h >> 29));
    }
};

// One entry of a query table: as read at the call, and the value it names as
// it stood when the query began.
struct QueryEntry {
    RTL_QUERY_REGISTRY_TABLE Entry;
    std::u16string Name;
    bool Found = false;
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

// The storage of one RtlQueryRegistryValues call: the path and the first
// Count entries.
struct QueryFrame {
    std::u16string Path;
    std::vector<QueryEntry> Entries;
    size_t Count = 0;
};

struct ValueFault {
    std::u16string UpperName;
    NTSTATUS Status;
};

// ---------------------------------------------------------------------------
// Plug and play

struct Registration {
    PnpRegistration Record;
};

// Arrivals of present interfaces that a plug-and-play thread reports after
// the registration has returned.
struct LaterArrivals {
    PnpRegistration Record;
    std::vector<std::string> Names; // one entry per call, in order
    uint32_t DelayMs;               // before the first call
};

// A removal of the sibling's device that a plug-and-play thread runs.
struct RemovalWork {
    PDEVICE_OBJECT Device;
    sim::PeerRemoval How;
    size_t Record; // into PeerRemovals
};

// ---------------------------------------------------------------------------
// The kernel

struct Kernel {
    Options Opt;
    bool Live = false;
    bool FreeRunning = false;

    std::mutex Mutex; // free-running mode only
    std::condition_variable_any Changed;

    // Clock.
    int64_t Clock = 0; // deterministic mode
    std::chrono::steady_clock::time_point RealStart{};

    // Threads.
    std::vector<std::unique_ptr<Thread>> Threads;
    Thread *Current = nullptr; // deterministic: the running fiber, null for the harness
    Thread HarnessThread{};
    int CallDepth = 0;       // harness-context calls into the driver in progress
    uint64_t OuterCalls = 0; // outermost harness-context calls begun so far
    bool HoldNewThreads = false;
    std::vector<Thread *> HeldThreads; // created, not yet runnable
    // Set when a thread's start routine has returned or it was unwound: from
    // then on an address may lie in a stack that is gone. A stack unmapped
    // at teardown is no longer a thread's (InDeadStack ignores it).
    bool ThreadEnded = false;
    std::deque<Thread *> RunQueue;
    Thread *SwitchTarget = nullptr; // explorer: runs next, ahead of the queue
    std::vector<TimerEntry> Timers; // a min-heap
    uint64_t TimerSequence = 0;
    void *MainSp = nullptr;
    void *MainAsanFakeStack = nullptr;
    const void *MainStackBottom = nullptr;
    size_t MainStackSize = 0;
    void *MainTsanFiber = nullptr;
    unsigned FailThreadCreations = 0;
    bool Stopping = false;
    std::vector<WaitRecord> Waits;
    uint64_t WaitCount = 0;
    // Waiters on dispatcher objects (object and thread, in arrival order).
    std::vector<std::pair<void *, Thread *>> ObjectWaiters;
    // Events and mutexes initialised by KeInitializeEvent or KeInitializeMutex.
    std::unordered_set<const void *> InitialisedObjects;
    // Threads with AwaitingWait set, and pending requests with a buffer in a
    // simulated thread's stack: read by every kernel routine without the
    // guard.
    std::atomic<unsigned> AwaitingWait{0};
    std::atomic<unsigned> StackRequests{0};

    // Verifier.
    // Start-up code is discarded after it; read by every routine, from any
    // thread in free-running mode.
    std::atomic<bool> DriverEntryReturned{false};
    std::vector<Violation> Violations;
    std::function<void(const Violation &)> ViolationObserver;
    std::set<ULONG> SurvivingTags;
    std::set<std::string> SurvivingReferenceDevices;

    // Pool.
    AddressTable<PoolBlock> Blocks; // outstanding blocks by address
    // Freed blocks held back, a ring once full: its oldest at QuarantineOldest.
    std::vector<std::pair<void *, PoolBlock>> Quarantine;
    size_t QuarantineOldest = 0;
    std::unordered_map<ULONG, PoolStats> Stats;
    ULONG LastStatsTag = 0; // and its record, for the usual run of one tag
    PoolStats *LastStats = nullptr;
    ULONG LastValidTag = 0; // the last tag found valid (0 is not)
    PoolStats Totals;
    uint64_t AllocationSequence = 0;
    unsigned FailNextAllocations = 0;
    std::set<uint64_t> FailAllocationAt;
    std::set<ULONG> FailTags;
    std::vector<PoolEvent> PoolLog;

    // Registry: keys by upper-cased path.
    std::unordered_map<std::u16string, RegistryKey, KeyIdHash, SameKeyId> Keys;
    // The last path looked up and its key, for the common run of calls on
    // one key; dropped whenever a key is created or deleted. A call whose
    // path text equals it (and it is a well-formed path) skips reading,
    // checking and hashing the path.
    std::u16string LastPath;
    RegistryKey *LastKey = nullptr;
    bool LastPathValid = false;
    // The path looked up before it and its key (calls alternate between a
    // few keys); dropped with it.
    std::u16string OtherPath;
    RegistryKey *OtherKey = nullptr;
    bool OtherPathValid = false;
    // Reused buffers of the registry routines (they hold the guard while
    // they use them and call nothing that could re-enter): the path, the
    // value name, its upcased form, the data, and a key path's look-up form.
    std::u16string PathText;
    // A harness call's path, widened, and the text it was widened from.
    std::u16string HarnessPathText;
    std::string HarnessPathNarrow;
    std::u16string NameText;
    std::u16string UpperText;
    std::vector<uint8_t> DataBytes;
    std::u16string KeyIdText;
    std::u16string LastNarrowedPath; // and the recorded text of the last path written
    std::string LastNarrowed;
    unsigned FailWrites = 0;
    NTSTATUS FailWritesStatus = STATUS_UNSUCCESSFUL;
    unsigned FailReads = 0;
    NTSTATUS FailReadsStatus = STATUS_UNSUCCESSFUL;
    std::vector<ValueFault> FailValueWrites;
    std::vector<ValueFault> FailValueReads;
    std::vector<RegWrite> RegWrites;
    std::vector<RegQuery> RegQueries;
    uint64_t RegWriteCount = 0;
    uint64_t RegQueryCount = 0;
    RegistryWriteOutcomes RegOutcomes;

    // Objects and I/O.
    std::vector<std::unique_ptr<_DRIVER_OBJECT>> Drivers;
    std::vector<std::unique_ptr<_DEVICE_OBJECT>> DeviceObjects;
    std::vector<std::unique_ptr<_FILE_OBJECT>> FileObjects;
    std::unordered_set<const void *> KnownObjects;
    std::map<std::u16string, PDEVICE_OBJECT> Namespace; // upper-cased name
    std::map<std::u16string, std::pair<std::string, std::string>>
        Links; // upper link -> (link, device)
    std::vector<CreateDeviceCall> CreateDeviceCalls;
    unsigned FailDeviceCreations = 0;
    NTSTATUS FailDeviceCreationsStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::vector<SymbolicLinkCall> LinkCalls;
    std::vector<OpenCall> OpenCalls;
    unsigned FailOpens = 0;
    NTSTATUS FailOpensStatus = STATUS_UNSUCCESSFUL;
    unsigned FailRequestBuilds = 0;
    // Requests built, not yet completed. The kernel owns their records: a
    // record is here, in RetiredIrps or among the spare records (io.cpp).
    AddressTable<bool> Irps;
    // Completed ones, oldest first, whose storage is reused after a while.
    std::deque<PIRP> RetiredIrps;
    uint64_t IrpSequence = 0;

    // The sibling frame driver.
    PDEVICE_OBJECT SiblingDevice = nullptr;
    UCHAR FrameMode = 3;
    UCHAR PanelType = 8;
    UCHAR PanelAux = 0;
    UCHAR Input[2] = {0, 0};
    Completion PeerCompletion = Completion::Now;
    NTSTATUS PeerFailStatus = STATUS_UNSUCCESSFUL;
    std::deque<PIRP> PendingIrps;
    uint32_t PeerReplyDelayMs = sim::DefaultPeerReplyDelayMs;
    // The sibling's completion thread (deterministic mode), started at its
    // first late request, and the event it sleeps on while it has none.
    Thread *SiblingThread = nullptr;
    KEVENT SiblingWake{};
    bool PeerCancels = true; // its pending requests have a cancel routine
    std::vector<PeerRequest> PeerRequests;
    uint64_t PeerRequestCount = 0;
    std::array<PeerCommandCounts, 256> PeerCounts{};
    uint32_t AutoCompleteMs = 0;
    std::thread SiblingWorker;
    bool SiblingWorkerStop = false;

    // Plug and play.
    std::vector<std::string> PresentInterfaces;
    sim::ExistingArrivals Existing;
    // Arrivals of present interfaces still to be reported from a
    // plug-and-play thread (their contexts).
    std::vector<std::unique_ptr<LaterArrivals>> LaterDeliveries;
    std::vector<PnpRegistration> Registrations; // every call
    std::vector<size_t> ActiveRegistrations;    // indexes of successful ones
    std::vector<sim::PeerRemovalRecord> PeerRemovals;
    std::vector<std::unique_ptr<RemovalWork>> Removals; // their contexts
    unsigned FailInterfaceRegistrations = 0;
    NTSTATUS FailInterfaceRegistrationsStatus = STATUS_UNSUCCESSFUL;
    unsigned FailTargetRegistrations = 0;
    NTSTATUS FailTargetRegistrationsStatus = STATUS_UNSUCCESSFUL;
    unsigned FailProfileRegistrations = 0;
    NTSTATUS FailProfileRegistrationsStatus = STATUS_UNSUCCESSFUL;
    std::vector<NTSTATUS> NotificationResults;

    // Video port.
    PDRIVER_OBJECT Driver = nullptr;
    ULONG VideoPortStatus = 0;
    unsigned FailVideoPortInitialize = 0;
    ULONG FailVideoPortInitializeStatus = (ULONG)STATUS_UNSUCCESSFUL;
    std::vector<VideoPortInitializeCall> VideoPortCalls;
    bool HaveTable = false;
    VIDEO_HW_INITIALIZATION_DATA Table{};
    PVOID HwContext = nullptr;
    std::vector<std::unique_ptr<uint8_t[]>> Extensions;
    // The port hands the miniport one control request at a time: in
    // free-running mode by this mutex, in deterministic mode by the gate (a
    // synchronisation event, signalled while no request is inside HwStartIO).
    std::mutex StartIoMutex;
    KEVENT StartIoGate{};
    bool StartIoGateReady = false;
    PVOID Extension = nullptr;
    // The adapter as the plug-and-play manager and the video port keep it:
    // its device \Device\VideoN (exclusive), whether it is started, and
    // whether the display driver has it open.
    PDEVICE_OBJECT VideoDevice = nullptr;
    unsigned VideoDeviceNumber = 0; // N of the next one
    bool PnpMiniport = false;       // the table qualifies as Plug and Play
    bool AdapterStarted = false;
    bool VideoDeviceOpen = false;
    unsigned FailAddDevices = 0;
    NTSTATUS FailAddDevicesStatus = STATUS_INSUFFICIENT_RESOURCES;
    unsigned FailStarts = 0;
    NTSTATUS FailStartsStatus = STATUS_UNSUCCESSFUL;
    ULONG AdapterPower = 1; // VideoPowerOn
    bool ImageUnloaded = false;

    // Trace.
    std::vector<TraceEvent> TraceLog;
    TraceEvent EventScratch{};
    std::function<void(const TraceEvent &)> TraceObserver;
};

extern Kernel *K;

// Locks K.Mutex in free-running mode; does nothing in deterministic mode.
class Guard
{
  public:
    Guard() : Locked(K->FreeRunning)
    {
        if (Locked)
            K->Mutex.lock();
    }
    ~Guard()
    {
        if (Locked)
            K->Mutex.unlock();
    }
    void Unlock()
    {
        if (Locked) {
            K->Mutex.unlock();
            Locked = false;
        }
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    bool Locked;
};

// Core (core.cpp). The caller holds the guard where one is needed.
void Violate(std::string text);
// Reports the finding that text() builds, out of line: a routine's usual path
// then carries none of the text's construction.
template <typename Text> [[gnu::noinline, gnu::cold]] void ViolateWith(Text text)
{
    Violate(text());
}
// The same for a caller that does not hold the guard.
template <typename Text> [[gnu::noinline, gnu::cold]] void ViolateLockedWith(Text text)
{
    Guard guard;
    Violate(text());
}
void Emit(TraceEvent event);
TraceEvent NewEvent(int64_t time, TraceKind kind);
// The kernel's one reused event, reset for a new one (its text and data keep
// their storage), and its emission: the same as Emit's.
TraceEvent &ReusedEvent(int64_t time, TraceKind kind);
void EmitReused(const TraceEvent &event);
inline bool Tracing()
{
    return K->Opt.TraceEnabled || K->TraceObserver;
}
std::string Hex(const void *data, size_t length);
std::string Status(NTSTATUS status);
// Harness entry: the kernel must exist; deterministic mode runs every
// runnable thread first. HarnessEntryAs: the entry names what it touches
// for the interleaving explorer (on a simulated thread), as EnterKernel.
void HarnessEntry();
void HarnessEntryAs(const Access &what);
// Platform routines: the kernel must exist (one is made on first use):
// EnsureKernel, below.
void MakeFirstKernel();
// Marks a call from the harness context into the driver: harness calls made
// meanwhile (from a driver callback) do not run the other threads.
// The callee is entered at the caller's IRQL: it may not lower below it.
// Only calls from the harness context count as calls in progress: a
// simulated thread's call (a query routine, a notification on a
// plug-and-play thread) may block in the driver and must not stop the
// harness from running the others.
struct CallOut {
    CallOut();
    ~CallOut();
    CallOut(const CallOut &) = delete;
    CallOut &operator=(const CallOut &) = delete;

  private:
    Thread *Context;
    KIRQL SavedEntryIrql;
    bool Counted; // made from the harness context itself
};
} // namespace sim::detail

// Where the driver's pageable and start-up routines lie (KVR_CODE_SECTIONS
// builds); the linker marks each section's ends. Null in a program without
// them, such as the optimised build.
extern "C" {
extern const char __start_kvr_paged[] __attribute__((weak));
extern const char __stop_kvr_paged[] __attribute__((weak));
extern const char __start_kvr_init[] __attribute__((weak));
extern const char __stop_kvr_init[] __attribute__((weak));
}

namespace sim::detail
{

// Checks where a platform routine was called from: pageable code (the
// driver's KVR_PAGED_CODE) must not run at DISPATCH_LEVEL or above, and
// start-up code (KVR_INIT_CODE) not after DriverEntry has returned, when the
// platform has discarded it. Takes the guard itself: call it before taking it.
void CheckPlacedCaller(const char *routine, const void *returnAddress);
// Only a return address inside those sections needs a further look (none is,
// in a program without such code: the marks are null).
void CheckAwaitingWait(const char *routine);
void CheckStackRequests(const void *frame);
inline void CheckCaller(const char *routine, const void *returnAddress, const void *frame)
{
    // A call after KeReleaseMutex(Wait TRUE) that is not a wait; a call from
    // above a frame that held a pending request's buffers.
    if (K->AwaitingWait.load(std::memory_order_relaxed)) [[unlikely]]
        CheckAwaitingWait(routine);
    if (K->StackRequests.load(std::memory_order_relaxed)) [[unlikely]]
        CheckStackRequests(frame);
    const char *address = (const char *)returnAddress;
    if ((address >= __start_kvr_paged && address < __stop_kvr_paged) ||
        (address >= __start_kvr_init && address < __stop_kvr_init))
        CheckPlacedCaller(routine, returnAddress);
}
#define KVR_SIM_CHECK_CALLER(routine)                                                              \
    ::sim::detail::CheckCaller(routine, __builtin_return_address(0), __builtin_frame_address(0))
// "on Windows 7 x64" / "on Windows Vista x64", for findings.
std::string OnTarget();

// I/O (io.cpp): the requests a thread built are cancelled when it ends.
void CancelThreadIo(Thread *thread);
// What a thread's end touches (FiberMain): its requests, as CancelThreadIo
// handles them.
Access ThreadEndAccess(Thread *thread);
// Counts (and traces) a Busy event when the object is the event of a pending
// peer request.
void NoteBusyPeerRequest(const void *event);
// Clears DO_DEVICE_INITIALIZING on the devices the driver created so far.
void FinishDriverEntryDevices(PDRIVER_OBJECT driver);
// A device the video port creates for the driver's adapter (named, ready to
// be opened), and its deletion at the adapter's removal.
PDEVICE_OBJECT CreatePortDevice(PDRIVER_OBJECT driver, std::string name, DEVICE_TYPE type,
                                bool exclusive);
void DeletePortDevice(PDEVICE_OBJECT device);
// Whether a thread of an unloaded image is about to run: a finding (bug
// check 0xCE), and the thread never runs again (video port, threads).
bool UnloadedImageWouldRun(Thread *thread);

// Threads (threads.cpp).
// The calling context, never null.
Thread *CurrentFreeThread(); // free-running mode
inline Thread *CurrentThread()
{
    Kernel *k = K;
    if (k->FreeRunning)
        return CurrentFreeThread();
    return k->Current ? k->Current : &k->HarnessThread;
}
int64_t CurrentFreeTime(); // free-running mode
inline int64_t CurrentTime()
{
    Kernel *k = K;
    return k->FreeRunning ? CurrentFreeTime() : k->Clock;
}
bool InSimulatedThread();
void StopAllThreads();
void InitialiseScheduler();
void DrainRunQueueIfIdle(); // the harness context, outside driver calls
void DestroyAllThreads();
// Keeps the ended threads' storage (query frames, raised levels) for the
// threads of the next kernel.
void KeepThreadStorage();
void SignalObject(void *object); // wakes waiters that can now be satisfied
// Deterministic mode: makes runnable the threads held back until the
// outermost call from outside that has just returned.
void ReleaseHeldThreads();
// Starts a thread of the simulated kernel's own (not the driver's): no fault
// injection, no hold. Returns null when no stack could be mapped.
Thread *StartKernelThread(PKSTART_ROUTINE routine, PVOID context);
bool InDeadStack(const void *address, size_t length);
// Free-running mode: the real time point of a virtual time.
std::chrono::steady_clock::time_point RealTimeOf(int64_t virtualTime);

// Interleaving explorer (explore.cpp; the switching is in threads.cpp).
bool ExplorerOn();
// At a switch point of the running thread, before the step named by what:
// the thread to switch to, or null to go on.
Thread *ExplorerAtSwitchPoint(Thread *self, const std::deque<Thread *> &runnable,
                              const Access &what);
// Which of two or more runnable threads runs next (an index into runnable).
size_t ExplorerPickRunnable(const std::deque<Thread *> &runnable);
// The thread taken from the run queue begins its next step.
void ExplorerTaken(Thread *thread);
// A thread created while exploring: its first step (up to its first switch
// point) touches its own state only.
void ExplorerThreadCreated(Thread *thread);
// A switch point of the calling simulated thread, before the step named by
// what. Does nothing unless exploring.
void SwitchPointReached(const Access &what);
constexpr int KernelCallPoint = 3;
constexpr int ThreadCallPoint = 4; // a routine that touches the caller's own state only
constexpr int KernelReadPoint = 5; // a routine that only reads the objects it names
inline bool SwitchPointsOn()
{
    return __atomic_load_n(&KvrSwitchPointsOn, __ATOMIC_RELAXED) != 0;
}
inline void SwitchPoint(const Access &what)
{
    if (SwitchPointsOn())
        SwitchPointReached(what);
}
inline void SwitchPoint(const volatile void *address, int kind)
{
    if (SwitchPointsOn())
        SwitchPointReached(Access{address, kind});
}

// Every kernel routine begins here, so this is also where the explorer may
// switch threads at a kernel call.
inline void EnterKernel(const Access &what)
{
    if (!K) [[unlikely]]
        MakeFirstKernel();
    SwitchPoint(what);
}
inline void EnsureKernel()
{
    EnterKernel(Access{});
}

// The entry of a kernel routine that touches one object of the kernel only
// (an event, a mutex, the pool, the registry): the explorer orders it against
// the steps on the same object and against those of routines that name none.
inline void EnsureKernelFor(const volatile void *object)
{
    EnterKernel(Access{object, KernelCallPoint});
}

// The entry of a routine that only reads one object of the kernel: ordered
// against the steps that change it, not against the other readers.
inline void EnsureKernelReading(const volatile void *object)
{
    EnterKernel(Access{object, KernelReadPoint});
}

// The entry of a routine that touches the calling thread's own state only
// (its IRQL, its own delay, the memory it passes): ordered against nothing
// of other threads.
inline void EnsureKernelForThread()
{
    EnterKernel(Access{nullptr, ThreadCallPoint});
}

// The entry of a routine whose objects depend on the kernel's state (the
// request it is about to complete, say): named as they stand at the switch
// point, and named again if another thread changed them while this one
// waited there, so that the step that runs is named by what it touches.
template <typename Name> void EnsureKernelNamed(Name name)
{
    if (!K) [[unlikely]]
        MakeFirstKernel();
    if (!SwitchPointsOn())
        return;
    for (Access what = name();;) {
        SwitchPointReached(what);
        Access now = name();
        if (now == what)
            return;
        what = now;
    }
}

// Calls into the driver (image/crossing.cpp). Every call the kernel makes
// into the driver goes through CallDriver: DriverEntry, the video port's
// callbacks, thread start routines, notification callbacks, registry query
// routines. A routine of the real image is called with the Microsoft x64
// convention through the crossing, which checks that the callee kept the
// registers that convention preserves; a routine of the host build is called
// directly. Either way the stack below the caller is first filled with the
// stack pattern, so that a local read before it is written shows.
constexpr uint8_t StackFill = 0xC7;
constexpr uint64_t StackFillWord = 0xC7C7C7C7C7C7C7C7ull;
// Bytes below the stack pointer filled before each call into the driver.
constexpr size_t FrameFillBytes = 2048;
extern uintptr_t ImageBegin, ImageEnd;     // the mapped image (0, 0: none)
extern uintptr_t ForeignBegin, ForeignEnd; // other Microsoft-convention code (tests)
inline bool InImage(const void *address)
{
    uintptr_t at = (uintptr_t)address;
    return (at >= ImageBegin && at < ImageEnd) || (at >= ForeignBegin && at < ForeignEnd);
}
uint64_t CrossIntoImage(const void *routine, const uint64_t *arguments, unsigned count);
extern "C" void kvrsim_fill_stack(size_t bytes);

template <typename T> uint64_t RawArgument(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return (uint64_t)(uintptr_t)value;
    else
        return (uint64_t)value;
}

template <typename R> R FromRaw(uint64_t raw)
{
    if constexpr (std::is_void_v<R>)
        return;
    else if constexpr (std::is_pointer_v<R>)
        return (R)(uintptr_t)raw;
    else
        return (R)raw; // the callee set only the return type's own bits
}

// When a call into the driver returns, the thread goes on in the kernel: a
// switch point, so that the kernel's work after the call is a step of its own
// (what the driver's last shared access began is not), named by what that
// work touches (After, called as the call returns; by default any of the
// kernel's state).
struct AnyKernelState {
    Access operator()() const { return Access{}; }
};

template <typename Name> struct BackInKernel {
    Name After;
    ~BackInKernel() { SwitchPoint(After()); }
};

template <typename Name, typename R, typename... P, typename... A>
R CallDriverThen(Name after, R (*routine)(P...), A &&...arguments)
{
    static_assert(sizeof...(P) >= 1 && sizeof...(P) <= 6, "the crossing passes 1 to 6 arguments");
    BackInKernel<Name> back{after};
    if (InImage((const void *)routine)) [[unlikely]] {
        const uint64_t raw[] = {RawArgument<P>(static_cast<P>(arguments))...};
        return FromRaw<R>(CrossIntoImage((const void *)routine, raw, sizeof...(P)));
    }
    kvrsim_fill_stack(FrameFillBytes);
    return routine(static_cast<P>(arguments)...);
}

template <typename R, typename... P, typename... A>
R CallDriver(R (*routine)(P...), A &&...arguments)
{
    return CallDriverThen(AnyKernelState{}, routine, std::forward<A>(arguments)...);
}

// What the kernel's work after a call into the driver touches when it is the
// calling thread's own (its IRQL, its buffers) and the verifier's record.
struct CallerOwnState {
    Access operator()() const { return Access{nullptr, ThreadCallPoint}; }
};

// The real image (image/image.cpp): a fresh copy mapped for a new kernel, the
// start-up section discarded once DriverEntry has returned.
void MapImageForKernel();
void UnmapImage();
// Whether a value read from the driver is the stack pattern: a local read
// before it was written.
inline bool StackPattern(const void *value)
{
    return (uint64_t)(uintptr_t)value == StackFillWord;
}

// Pool (pool.cpp).
// A finding when a buffer that starts a pool block runs past its end.
void CheckWithinPoolBlock(const char *what, const void *address, size_t length);
void ReleaseAllPool();
void CheckPoolAtTeardown();

// Objects (io.cpp).
void CreateSiblingDevice();
// Completes the sibling's pending requests for a device with a failure (its
// removal).
void FailDeviceRequests(PDEVICE_OBJECT device, NTSTATUS status);
void AddToNamespace(PDEVICE_OBJECT device);
void RemoveFromNamespace(PDEVICE_OBJECT device);
// Plug and play (pnp.cpp): target-device registrations left on file objects
// that are closed, at teardown.
void CheckRegistrationsAtTeardown();
// Calls a notification callback of the driver on the calling context, with
// the verifier's checks of its return; records and returns its status.
// After names what the caller's work after the callback touches, for the
// interleaving explorer (by default any of the kernel's state).
NTSTATUS CallRegistration(const PnpRegistration &registration, PVOID notification,
                          const Access &after = Access{});
// Hands the storage of the kernel's requests over to the next kernel.
void KeepRequestStorage();
void CheckReferencesAtTeardown();
void StartSiblingWorker();
void StopSiblingWorker();

// Names and text (rtl.cpp).
// The platform's upcasing: ASCII and the Latin-1 letters.
inline char16_t UpcaseChar(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return (char16_t)(c - 32);
    if (c < 0xE0)
        return c;
    // Latin-1 small letters, as the platform's upcase table has them.
    if (c <= 0xFE && c != 0xF7)
        return (char16_t)(c - 32);
    if (c == 0xFF)
        return 0x178;
    return c;
}
std::u16string Upcase(std::u16string_view text);
std::u16string Widen(std::string_view text);
// Upcase(Widen(text)) and Narrow(Upcase(Widen(text))), made in one string.
std::u16string UpcaseWide(std::string_view text);
std::string UpcaseNarrow(std::string_view text);
std::string Narrow(std::u16string_view text);
void NarrowInto(std::string &narrow, std::u16string_view text);
// Whether the kernel may read the driver's memory with plain loads: in
// deterministic mode one context runs at a time and none is switched in while
// a kernel routine runs, so nothing can write what it reads meanwhile. In
// free-running mode it reads with relaxed loads, as the driver's own shared
// fields are read.
inline bool PlainReads()
{
    return !K->FreeRunning;
}
// The characters of a zero-terminated wide text before its terminator, at
// most maxChars; a null pointer has none.
size_t WideLength(const WCHAR *text, size_t maxChars = 32767);
// Reads a zero-terminated wide text of at most maxChars characters, byte by
// byte with relaxed loads; a null pointer gives an empty text.
std::u16string ReadWideText(const WCHAR *text, size_t maxChars = 32767);
// The same into a buffer the caller keeps (its storage is reused).
void ReadWideTextInto(std::u16string &out, const WCHAR *text, size_t maxChars = 32767);
// Equal texts, compared as bytes.
inline bool SameText(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}
// Copies a text (which must not lie in the buffer) into a buffer kept for
// reuse: a size and a copy, its storage growing only when too small.
inline void AssignText(std::u16string &to, std::u16string_view text)
{
    to.resize(text.size());
    if (!text.empty())
        memcpy(to.data(), text.data(), text.size() * sizeof(char16_t));
}
// Reads a counted string's characters (null buffer or zero length: empty).
std::u16string ReadCounted(const UNICODE_STRING *string);
void ReadBytes(void *destination, const void *source, size_t length);
void WriteBytes(void *destination, const void *source, size_t length);

// Registry (registry.cpp).
RegistryKey *FindKey(std::u16string_view path);
// Hands the storage of the kernel's keys over to the next kernel.
void KeepRegistryStorage();
RegistryKey *FindOrCreateLeaf(std::u16string_view path);

} // namespace sim::detail

#endif // KVR_SIM_INTERNAL_H
