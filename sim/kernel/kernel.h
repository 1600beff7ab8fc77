// The kernel room's internals: system threads and the scheduler, the clock,
// IRQL, dispatcher objects and waits, the verifier's findings and the trace,
// with the kernel's parts of the record of a run (RunState, SchedulerState,
// VerifierState, TraceState; the record itself is record.h). Pool is
// kernel/pool.h, text and memory helpers kernel/rtl.h.

#ifndef KVR_SIM_KERNEL_KERNEL_H
#define KVR_SIM_KERNEL_KERNEL_H

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "explore/explore.h"
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

namespace sim::detail
{

constexpr NTSTATUS StatusTimeout = 0x102;
constexpr size_t RecentInitialisedSlots = 16; // SchedulerState::RecentInitialised
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
    uint64_t Used = 0;
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
    // Notification callbacks of the driver in progress on this context, and
    // waits the kernel itself makes inside a routine the driver called (a
    // callback may not wait by itself; what the kernel does for it is the
    // kernel's).
    unsigned Notifying = 0;
    unsigned KernelWaits = 0;
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
// The run: its options, its mode and, in free-running mode, its one lock.

struct RunState {
    Options Opt;
    bool Live = false;
    bool FreeRunning = false;

    std::mutex Mutex; // free-running mode only
    std::condition_variable_any Changed;
};

// ---------------------------------------------------------------------------
// The scheduler's part of the record: the clock, the threads, the run queue
// and timers, the waiters on dispatcher objects.

struct SchedulerState {
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
    // The system sleeps (deterministic mode): no thread runs and no wait
    // times out until it resumes; the clock moves on.
    bool Asleep = false;
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
    // The objects of InitialisedObjects found or added last, by address
    // (KnownInitialised, dispatcher.cpp).
    const void *RecentInitialised[RecentInitialisedSlots] = {};
    // Threads with AwaitingWait set (counted in AwaitingWaitUnit), and
    // pending requests with a buffer in a simulated thread's stack (in
    // StackRequestUnit): read by every kernel routine without the guard, one
    // load for both.
    std::atomic<uint64_t> CallerChecks{0};
};
constexpr uint64_t AwaitingWaitUnit = 1;
constexpr uint64_t StackRequestUnit = uint64_t(1) << 32;

// ---------------------------------------------------------------------------
// The verifier's part.

struct VerifierState {
    // Start-up code is discarded after it; read by every routine, from any
    // thread in free-running mode.
    std::atomic<bool> DriverEntryReturned{false};
    std::vector<Violation> Violations;
    std::function<void(const Violation &)> ViolationObserver;
    std::set<ULONG> SurvivingTags;
    std::set<std::string> SurvivingReferenceDevices;
};

// ---------------------------------------------------------------------------
// The trace's part.

struct TraceState {
    std::vector<TraceEvent> TraceLog;
    TraceEvent EventScratch{};
    std::function<void(const TraceEvent &)> TraceObserver;
};

// Findings and the trace (core.cpp). The caller holds the guard where one is
// needed (Guard: record.h).
void Violate(std::string text);
// Reports the finding that text() builds, out of line: a routine's usual path
// then carries none of the text's construction.
template <typename Text> [[gnu::noinline, gnu::cold]] void ViolateWith(Text text)
{
    Violate(text());
}
void Emit(TraceEvent event);
TraceEvent NewEvent(int64_t time, TraceKind kind);
// The kernel's one reused event, reset for a new one (its text and data keep
// their storage), and its emission: the same as Emit's.
TraceEvent &ReusedEvent(int64_t time, TraceKind kind);
void EmitReused(const TraceEvent &event);
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
// A wait the kernel makes on the caller's context inside one of its
// routines (a slow driver's dispatch under IofCallDriver): not the caller's
// own wait.
struct KernelWait {
    KernelWait();
    ~KernelWait();
    KernelWait(const KernelWait &) = delete;
    KernelWait &operator=(const KernelWait &) = delete;
};
// A notification callback waiting by itself is a finding: KeDelayExecutionThread,
// or a wait on anything but a mutex that does not return at once.
void CheckNotificationWait(const char *what);
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
// "on Windows 7 x64" / "on Windows Vista x64", for findings.
std::string OnTarget();

// Threads (threads.cpp). The calling context and the time (CurrentThread and
// CurrentTime, record.h) in free-running mode:
Thread *CurrentFreeThread();
int64_t CurrentFreeTime();
bool InSimulatedThread();
void StopAllThreads();
void InitialiseScheduler();
void DrainRunQueueIfIdle(); // the harness context, outside driver calls
void DestroyAllThreads();
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

// Interleaving explorer (explore/explore.cpp; the switching is in scheduler.cpp).
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

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_KERNEL_H
