// Dispatcher objects and waits: events and mutexes, KeWaitForSingleObject and
// KeDelayExecutionThread. In deterministic mode a waiting fiber blocks in the
// scheduler (scheduler.cpp); in free-running mode waits are
// condition-variable waits on the kernel's one lock, and a wait made after a
// stop request unwinds the thread to its base with longjmp (driver frames
// hold nothing that needs destroying).

#include <algorithm>

#include "kernel/scheduler.h"
#include "record.h"

namespace sim::detail
{

namespace
{

constexpr UCHAR NotificationEventType = 0;
constexpr UCHAR SynchronizationEventType = 1;
constexpr UCHAR MutantType = 2;

// Takes the object for thread if it is signalled for it; false if not.
[[gnu::always_inline]] inline bool TryAcquire(void *object, Thread *thread)
{
    DISPATCHER_HEADER *header = (DISPATCHER_HEADER *)object;
    switch (header->Type) {
    case NotificationEventType:
        return header->SignalState != 0;
    case SynchronizationEventType:
        if (header->SignalState == 0)
            return false;
        header->SignalState = 0;
        return true;
    case MutantType: {
        KMUTANT *mutant = (KMUTANT *)object;
        if (header->SignalState > 0) {
            header->SignalState = 0;
            mutant->OwnerThread = (struct _KTHREAD *)thread;
            thread->MutexesOwned++;
            return true;
        }
        if (mutant->OwnerThread == (struct _KTHREAD *)thread) {
            // Recursive acquisition: allowed, and counted; the mutex is free
            // again only after as many releases.
            if (header->SignalState == LONG(0x80000000u)) {
                Violate("a mutex acquired recursively beyond its limit");
                return true;
            }
            header->SignalState--;
            thread->MutexesOwned++;
            return true;
        }
        return false;
    }
    default:
        Violate("wait on an object that is not an initialised event or mutex");
        return true;
    }
}

// Whether KeInitializeEvent or KeInitializeMutex initialised the object
// (InitialisedObjects, which only grows while the kernel lives). The objects
// found or added last are remembered in a small table by address, so that
// the driver's waits on its mutexes and events skip hashing the address:
// about 40 instructions a wait and as many an initialisation of an event
// already known (with the poison checked 32 bytes a step, 190 of a
// panel-refresh turn; docs/performance.md).
size_t RecentSlot(const void *object)
{
    return ((uintptr_t)object >> 3) % RecentInitialisedSlots;
}

[[gnu::noinline]] bool LookUpInitialised(const void *object)
{
    Kernel *k = K;
    if (!k->InitialisedObjects.count(object))
        return false;
    k->RecentInitialised[RecentSlot(object)] = object;
    return true;
}

inline bool KnownInitialised(const void *object)
{
    return K->RecentInitialised[RecentSlot(object)] == object || LookUpInitialised(object);
}

[[gnu::always_inline]] inline void NoteInitialised(const void *object)
{
    Kernel *k = K;
    const void *&recent = k->RecentInitialised[RecentSlot(object)];
    if (recent == object)
        return;
    k->InitialisedObjects.insert(object);
    recent = object;
}

void RemoveWaiter(void *object, Thread *thread)
{
    std::vector<std::pair<void *, Thread *>> &waiters = K->ObjectWaiters;
    waiters.erase(std::remove(waiters.begin(), waiters.end(), std::make_pair(object, thread)),
                  waiters.end());
}

int64_t DeadlineOf(const LARGE_INTEGER *interval, int64_t now)
{
    if (!interval)
        return -1;
    LONGLONG value = __atomic_load_n(&interval->QuadPart, __ATOMIC_RELAXED);
    if (value < 0)
        return now - value; // relative
    return value;           // absolute, on the virtual clock
}

inline void RecordWait(Thread *thread, const LARGE_INTEGER *interval, bool delay)
{
    Kernel *k = K;
    k->WaitCount++;
    if (k->Opt.RecordWaits) {
        LONGLONG value = interval ? __atomic_load_n(&interval->QuadPart, __ATOMIC_RELAXED) : 0;
        k->Waits.push_back(WaitRecord{thread->Id, CurrentTime(), value, delay});
    }
}

[[noreturn]] void UnwindFreeThread(Thread *thread)
{
    longjmp(thread->Base, 1);
}

// The harness context cannot switch away: it drives the scheduler itself
// until its condition holds or its deadline passes.
template <typename Condition> bool HarnessWait(Condition condition, int64_t deadline)
{
    for (;;) {
        if (condition())
            return true;
        if (K->Asleep) {
            Violate("the harness context waits while the system sleeps: no thread runs to "
                    "signal it");
            return false;
        }
        DrainRunQueue();
        if (condition())
            return true;
        std::optional<int64_t> next = NextTimer();
        if (deadline >= 0 && (!next || *next > deadline)) {
            if (deadline > K->Clock)
                K->Clock = deadline;
            return condition();
        }
        if (!next) {
            Violate("the harness context waits for an object that nothing can signal");
            return false;
        }
        WakeTimersUpTo(*next);
    }
}

// Free-running mode: waits on the kernel lock until condition, the deadline,
// or a stop request (which unwinds a simulated thread). Returns true when the
// condition held; stop is set when the thread must unwind.
template <typename Condition>
bool FreeWait(std::unique_lock<std::mutex> &lock, Thread *thread, Condition condition,
              int64_t deadline, bool &stop)
{
    stop = false;
    for (;;) {
        if (K->Stopping && !thread->Harness) {
            stop = true;
            return false;
        }
        if (condition())
            return true;
        if (deadline >= 0) {
            if (CurrentTime() >= deadline)
                return false;
            K->Changed.wait_until(lock, RealTimeOf(deadline));
        } else {
            K->Changed.wait(lock);
        }
    }
}

NTSTATUS WaitForObject(void *object, const LARGE_INTEGER *timeout)
{
    Kernel *k = K;
    Thread *thread = CurrentThread();
    if (k->FreeRunning) {
        bool stop = false;
        bool acquired;
        {
            std::unique_lock<std::mutex> lock(k->Mutex);
            int64_t deadline = DeadlineOf(timeout, CurrentTime());
            if (timeout)
                RecordWait(thread, timeout, false);
            acquired = FreeWait(
                lock, thread, [&] { return TryAcquire(object, thread); }, deadline, stop);
        }
        if (stop)
            UnwindFreeThread(thread);
        return acquired ? STATUS_SUCCESS : StatusTimeout;
    }
    if (TryAcquire(object, thread))
        return STATUS_SUCCESS;
    int64_t deadline = DeadlineOf(timeout, k->Clock);
    if (timeout && deadline <= k->Clock)
        return StatusTimeout;
    if (timeout)
        RecordWait(thread, timeout, false);
    if (thread->Harness)
        return HarnessWait([&] { return TryAcquire(object, thread); }, deadline) ? STATUS_SUCCESS
                                                                                 : StatusTimeout;
    k->ObjectWaiters.emplace_back(object, thread);
    if (BlockFiber(thread, deadline))
        return STATUS_SUCCESS;
    RemoveWaiter(object, thread);
    return StatusTimeout;
}

// --- The usual wait and release, at once ----------------------------------
//
// In deterministic mode, a wait that an object known to be initialised
// satisfies at once, by a thread at or below APC_LEVEL, and the owner's last
// release of a mutex with no thread waiting on any object, at or below
// DISPATCH_LEVEL and with no wait to follow, need none of the rest of their
// routines' steps: each helper does what the whole routine does in that case
// and nothing else, and declines (the whole routine runs) in any other.
// What they buy: the driver takes and releases a mutex four times a
// panel-refresh turn, and the whole routines' prologues, guard and second
// look at the calling thread came to some 80 instructions of each pair; with
// the other changes of the same step, 334 of the turn (docs/performance.md).
[[gnu::always_inline]] inline bool AcquiredAtOnce(void *object)
{
    Kernel *k = K;
    if (k->FreeRunning || !object)
        return false;
    Thread *thread = k->Current ? k->Current : &k->HarnessThread;
    // A notification callback's waits take the whole routine, which reports a
    // callback that blocks.
    return thread->Irql <= APC_LEVEL && thread->Notifying == 0 && KnownInitialised(object) &&
           ((DISPATCHER_HEADER *)object)->Type <= MutantType && TryAcquire(object, thread);
}

[[gnu::always_inline]] inline bool ReleasedAtOnce(PRKMUTEX mutex, BOOLEAN wait)
{
    Kernel *k = K;
    if (k->FreeRunning || wait || !k->ObjectWaiters.empty())
        return false;
    Thread *thread = k->Current ? k->Current : &k->HarnessThread;
    if (mutex->Header.Type != MutantType || mutex->Header.SignalState != 0 ||
        mutex->OwnerThread != (struct _KTHREAD *)thread || thread->Irql > DISPATCH_LEVEL)
        return false;
    mutex->Header.SignalState = 1;
    thread->MutexesOwned--;
    mutex->OwnerThread = nullptr;
    return true;
}

// The object's waiters in the order they began to wait; each one that the
// object now satisfies leaves the list.
[[gnu::noinline]] void WakeWaiters(Kernel *k, void *object)
{
    std::vector<std::pair<void *, Thread *>> &waiters = k->ObjectWaiters;
    for (size_t i = 0; i < waiters.size();) {
        Thread *thread = waiters[i].second;
        if (waiters[i].first != object || !TryAcquire(object, thread)) {
            ++i;
            continue;
        }
        waiters.erase(waiters.begin() + (ptrdiff_t)i);
        thread->WaitSatisfied = true;
        thread->TimerSequence = 0; // its timer, if any, no longer counts
        thread->WakeTime = -1;
        k->RunQueue.push_back(thread);
    }
}

// KeReleaseMutex and KeWaitForSingleObject after their entry, whole.
[[gnu::noinline]] LONG ReleaseMutexWhole(PRKMUTEX Mutex, BOOLEAN Wait)
{
    Guard guard;
    Thread *thread = CurrentThread();
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->Header.Type != 2) {
        ViolateWith([] { return "KeReleaseMutex on an object that is not an initialised mutex"; });
        return previous;
    }
    if (previous > 0 || Mutex->OwnerThread != (struct _KTHREAD *)thread) {
        ViolateWith([] { return "KeReleaseMutex by a thread that does not own the mutex"; });
        return previous;
    }
    if (thread->Irql > DISPATCH_LEVEL)
        ViolateWith([] { return "KeReleaseMutex above DISPATCH_LEVEL"; });
    Mutex->Header.SignalState = previous + 1;
    thread->MutexesOwned--;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        SignalObject(Mutex);
    }
    if (Wait) {
        // The platform returns at DISPATCH_LEVEL, holding the dispatcher
        // lock, and the caller's very next call must be a wait.
        thread->AwaitingWait = true;
        thread->IrqlBeforeRelease = thread->Irql;
        thread->Irql = DISPATCH_LEVEL;
        K->CallerChecks += AwaitingWaitUnit;
    }
    return previous;
}

[[gnu::noinline]] NTSTATUS WaitWhole(PVOID Object, PLARGE_INTEGER Timeout)
{
    Thread *thread = CurrentThread();
    bool zeroTimeout = Timeout && __atomic_load_n(&Timeout->QuadPart, __ATOMIC_RELAXED) == 0;
    if (!zeroTimeout && thread->Irql > APC_LEVEL) {
        ViolateLockedWith([thread] {
            return "KeWaitForSingleObject with a timeout other than zero at IRQL " +
                   std::to_string(thread->Irql);
        });
    } else if (thread->Irql > DISPATCH_LEVEL) {
        ViolateLockedWith([] { return "KeWaitForSingleObject above DISPATCH_LEVEL"; });
    }
    if (!Object) {
        ViolateLockedWith([] { return "KeWaitForSingleObject on a null object"; });
        return STATUS_INVALID_PARAMETER;
    }
    bool initialised;
    {
        Guard guard;
        initialised = KnownInitialised(Object);
    }
    if (!initialised) [[unlikely]] {
        ViolateLockedWith([Object] {
            return StackPattern(Object)
                       ? std::string("KeWaitForSingleObject on the stack pattern: a local pointer "
                                     "read before it was written")
                       : std::string("KeWaitForSingleObject on an object that was never "
                                     "initialised with KeInitializeEvent or KeInitializeMutex");
        });
        return STATUS_INVALID_PARAMETER;
    }
    if (!zeroTimeout && ((DISPATCHER_HEADER *)Object)->Type != MutantType)
        CheckNotificationWait("KeWaitForSingleObject on an object that is not a mutex");
    NTSTATUS status = WaitForObject(Object, Timeout);
    if (zeroTimeout && status == StatusTimeout)
        NoteBusyPeerRequest(Object);
    return status;
}

} // namespace

void SignalObject(void *object)
{
    Kernel *k = K;
    if (k->FreeRunning) {
        k->Changed.notify_all();
        return;
    }
    if (!k->ObjectWaiters.empty())
        WakeWaiters(k, object);
}

// The wait that must follow KeReleaseMutex with Wait TRUE: it begins at
// DISPATCH_LEVEL and returns at the IRQL from before the release.
void EndWaitAfterRelease()
{
    Kernel *k = K;
    Thread *thread = CurrentThread();
    if (!thread->AwaitingWait)
        return;
    thread->AwaitingWait = false;
    k->CallerChecks -= AwaitingWaitUnit;
    thread->Irql = thread->IrqlBeforeRelease;
}

inline void WaitAfterRelease()
{
    if ((uint32_t)K->CallerChecks.load(std::memory_order_relaxed)) [[unlikely]]
        EndWaitAfterRelease();
}

void CheckAwaitingWait(const char *routine)
{
    Thread *thread = CurrentThread();
    if (!thread->AwaitingWait)
        return;
    thread->AwaitingWait = false;
    K->CallerChecks -= AwaitingWaitUnit;
    Guard guard;
    Violate(std::string("KeReleaseMutex with Wait TRUE not followed at once by a wait: ") +
            routine + " was called at DISPATCH_LEVEL instead");
}

KernelWait::KernelWait()
{
    CurrentThread()->KernelWaits++;
}

KernelWait::~KernelWait()
{
    CurrentThread()->KernelWaits--;
}

// The plug-and-play manager calls the callbacks from a few system worker
// threads, one notification after another: a callback that blocks holds up
// every plug-and-play event of the machine. Its guidelines say a callback
// must not block; a mutex held for a few instructions is no wait to speak
// of, and what the kernel's own routines do on the caller's context is
// theirs.
void CheckNotificationWait(const char *what)
{
    Thread *thread = CurrentThread();
    if (thread->Notifying == 0 || thread->KernelWaits != 0)
        return;
    ViolateLockedWith([what] {
        return std::string("a notification callback waits: ") + what +
               " (a callback must not block: every plug-and-play event of the machine waits "
               "for it)";
    });
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

const std::vector<WaitRecord> &Waits()
{
    HarnessEntry();
    return K->Waits;
}

uint64_t WaitCount()
{
    HarnessEntry();
    Guard guard;
    return K->WaitCount;
}

} // namespace sim

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    EnsureKernelFor(Event);
    KVR_SIM_CHECK_CALLER("KeInitializeEvent");
    Guard guard;
    if (!K->FreeRunning &&
        std::any_of(K->ObjectWaiters.begin(), K->ObjectWaiters.end(),
                    [Event](const auto &waiter) { return waiter.first == Event; }))
        ViolateWith([] { return "KeInitializeEvent on an event that a thread is waiting for"; });
    NoteInitialised(Event);
    Event->Header.Type = Type == SynchronizationEvent ? 1 : 0;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / 4;
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    (void)Level;
    EnsureKernelFor(Mutex);
    KVR_SIM_CHECK_CALLER("KeInitializeMutex");
    Guard guard;
    if (Mutex->Header.Type == 2 && Mutex->Header.SignalState <= 0 && Mutex->OwnerThread)
        Violate("KeInitializeMutex on a mutex that a thread owns");
    NoteInitialised(Mutex);
    Mutex->Header.Type = 2;
    Mutex->Header.Signalling = 0;
    Mutex->Header.Size = sizeof(KMUTEX) / 4;
    Mutex->Header.Reserved1 = 0;
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = &Mutex->Header.WaitListHead;
    Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
    Mutex->MutantListEntry.Flink = &Mutex->MutantListEntry;
    Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    EnsureKernelFor(Mutex);
    KVR_SIM_CHECK_CALLER("KeReleaseMutex");
    if (ReleasedAtOnce(Mutex, Wait)) [[likely]]
        return 0;
    return ReleaseMutexWhole(Mutex, Wait);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    EnsureKernelFor(Object);
    WaitAfterRelease();
    KVR_SIM_CHECK_CALLER("KeWaitForSingleObject");
    if (AcquiredAtOnce(Object)) [[likely]]
        return STATUS_SUCCESS;
    return WaitWhole(Object, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    EnsureKernelForThread();
    WaitAfterRelease();
    KVR_SIM_CHECK_CALLER("KeDelayExecutionThread");
    Kernel *k = K;
    Thread *thread = CurrentThread();
    if (thread->Irql > APC_LEVEL)
        ViolateLockedWith(
            [thread] { return "KeDelayExecutionThread at IRQL " + std::to_string(thread->Irql); });
    CheckNotificationWait("KeDelayExecutionThread");
    if (k->FreeRunning) {
        bool stop = false;
        {
            std::unique_lock<std::mutex> lock(k->Mutex);
            RecordWait(thread, Interval, true);
            int64_t deadline = DeadlineOf(Interval, CurrentTime());
            if (deadline < 0)
                deadline = CurrentTime();
            FreeWait(
                lock, thread, [] { return false; }, deadline, stop);
        }
        if (stop)
            UnwindFreeThread(thread);
        return STATUS_SUCCESS;
    }
    RecordWait(thread, Interval, true);
    int64_t deadline = DeadlineOf(Interval, k->Clock);
    if (deadline < 0)
        deadline = k->Clock;
    if (thread->Harness) {
        HarnessWait([] { return false; }, deadline);
        return STATUS_SUCCESS;
    }
    if (deadline <= k->Clock) {
        // A zero interval gives up the processor to the other runnable threads.
        k->RunQueue.push_back(thread);
        thread->Blocked = true;
        SwitchToHarness(thread, false);
        return STATUS_SUCCESS;
    }
    BlockFiber(thread, deadline);
    return STATUS_SUCCESS;
}

} // extern "C"
