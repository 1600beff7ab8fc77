// System threads, the virtual clock, dispatcher objects and IRQL.
//
// Deterministic mode: every simulated thread is a fiber with a stack of its
// own, switched by a small hand-written context switch; the harness context
// (the OS thread that drives the run) is the scheduler. A fiber runs until it
// waits; time moves only when every fiber is blocked, to the earliest
// wake-up, and threads due at the same instant run in the order in which
// they began their waits. Same inputs, same order, same trace.
//
// Free-running mode: every simulated thread is a real thread; the virtual
// clock follows the wall clock scaled down, waits are condition-variable
// waits on the kernel's one lock, and a wait made after a stop request
// unwinds the thread to its base with longjmp (driver frames hold nothing
// that needs destroying).

#include <sys/mman.h>
#include <pthread.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "record.h"

#ifdef KVR_SIM_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef KVR_SIM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Saves the callee-saved registers and the floating-point control words on
// the current stack, stores the stack pointer in *save and continues on the
// stack that next points to (saved the same way).
asm(R"(
    .text
    .globl kvrsim_switch_context
    .type kvrsim_switch_context,@function
kvrsim_switch_context:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size kvrsim_switch_context,.-kvrsim_switch_context

    .globl kvrsim_fiber_start
    .type kvrsim_fiber_start,@function
kvrsim_fiber_start:
    movq %r12, %rdi
    callq *%r13
    ud2
    .size kvrsim_fiber_start,.-kvrsim_fiber_start
)");

extern "C" void kvrsim_switch_context(void **save, void *next);
extern "C" void kvrsim_fiber_start();

namespace sim::detail
{

namespace
{

thread_local Thread *FreeThread = nullptr; // free-running: the simulated thread
thread_local Thread FreeHarness{};         // free-running: any other OS thread

constexpr size_t GuardSize = 4096;
// The bytes at the top of a new stack filled with the stack pattern.
constexpr size_t FilledStackBytes = 64 * 1024;

bool Timed(const TimerEntry &entry)
{
    return entry.Owner->Blocked && entry.Owner->TimerSequence == entry.Sequence;
}

// --- Deterministic mode: fibers ---------------------------------------------

void FiberMain(Thread *thread);

// What a system thread must not leave behind when its start routine returns.
// A mutex still owned is never released again (THREAD_TERMINATE_HELD_MUTEX).
void CheckThreadEnd(Thread *thread)
{
    if (thread->Irql != PASSIVE_LEVEL)
        Violate("thread " + std::to_string(thread->Id) + " ended at IRQL " +
                std::to_string(thread->Irql));
    if (thread->MutexesOwned != 0)
        Violate("thread " + std::to_string(thread->Id) + " ended owning a mutex");
}

void StartSwitch(void **fakeStack, const void *bottom, size_t size)
{
#ifdef KVR_SIM_ASAN
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack;
    (void)bottom;
    (void)size;
#endif
}

void FinishSwitch(void *fakeStack, const void **bottom, size_t *size)
{
#ifdef KVR_SIM_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack;
    (void)bottom;
    (void)size;
#endif
}

void TsanSwitch(void *fiber)
{
#ifdef KVR_SIM_TSAN
    __tsan_switch_to_fiber(fiber, 0);
#else
    (void)fiber;
#endif
}

// From the harness context into a fiber, until it blocks or ends.
void RunFiber(Thread *thread)
{
    Kernel *k = K;
    k->Current = thread;
    thread->Blocked = false;
    StartSwitch(&k->MainAsanFakeStack, thread->StackBase, thread->StackSize);
    TsanSwitch(thread->TsanFiber);
    kvrsim_switch_context(&k->MainSp, thread->SavedSp);
    FinishSwitch(k->MainAsanFakeStack, nullptr, nullptr);
    k->Current = nullptr;
}

// From a fiber back to the harness context.
void SwitchToHarness(Thread *thread, bool exiting)
{
    Kernel *k = K;
    StartSwitch(exiting ? nullptr : &thread->AsanFakeStack, k->MainStackBottom, k->MainStackSize);
    TsanSwitch(k->MainTsanFiber);
    kvrsim_switch_context(&thread->SavedSp, k->MainSp);
    FinishSwitch(thread->AsanFakeStack, &K->MainStackBottom, &K->MainStackSize);
}

void FiberMain(Thread *thread)
{
    FinishSwitch(nullptr, &K->MainStackBottom, &K->MainStackSize);
    CallDriverThen([thread] { return ThreadEndAccess(thread); }, thread->StartRoutine,
                   thread->StartContext);
    CheckThreadEnd(thread);
    thread->Ending = true;
    K->ThreadEnded = true;
    CancelThreadIo(thread);
    thread->Finished = true;
    SwitchToHarness(thread, true);
    __builtin_trap();
}

// Stacks of the threads of kernels that are gone, kept mapped (and filled
// with the stack pattern) for the threads of the next. Never destroyed.
//
// A Windows kernel stack holds whatever was there before; a new stack here
// holds the stack pattern (StackFill), as Driver Verifier and
// -ftrivial-auto-var-init=pattern fill them, so that a local read before it
// is written gives a recognisable value instead of a harmless zero.
struct KeptStack {
    uint8_t *Base;
    size_t Size;
};
constexpr size_t KeptStackLimit = 8;

std::vector<KeptStack> &KeptStacks()
{
    static auto *kept = new std::vector<KeptStack>;
    return *kept;
}

uint8_t *MapStack(size_t size)
{
    std::vector<KeptStack> &kept = KeptStacks();
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].Size != size)
            continue;
        uint8_t *base = kept[i].Base;
        kept.erase(kept.begin() + (ptrdiff_t)i);
        return base;
    }
    void *memory = mmap(nullptr, size + GuardSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    mprotect(memory, GuardSize, PROT_NONE); // an overflow faults instead of corrupting
    uint8_t *base = (uint8_t *)memory + GuardSize;
    // The top, where the frames are: the pages below stay untouched.
    size_t filled = std::min<size_t>(size, FilledStackBytes);
    memset(base + size - filled, StackFill, filled);
    return base;
}

// Fills the pages of a stack that were touched with the pattern again (the
// others are still the system's zero pages); false if that cannot be told.
bool RefillUsedPages(uint8_t *base, size_t size)
{
    constexpr size_t Page = 4096;
    size_t pages = size / Page;
    // The usual stacks' page map fits in place; a larger one goes on the heap.
    unsigned char few[256];
    std::vector<unsigned char> many(pages > sizeof few ? pages : 0);
    unsigned char *resident = pages > sizeof few ? many.data() : few;
    if (size % Page != 0 || mincore(base, size, resident) != 0)
        return false;
    for (size_t i = 0; i < pages; ++i)
        if (resident[i] & 1)
            memset(base + i * Page, StackFill, Page);
    return true;
}

void UnmapStack(Thread *thread)
{
    if (!thread->StackBase)
        return;
#ifdef KVR_SIM_ASAN
    __asan_unpoison_memory_region(thread->StackBase, thread->StackSize);
#endif
    std::vector<KeptStack> &kept = KeptStacks();
    if (kept.size() < KeptStackLimit && RefillUsedPages(thread->StackBase, thread->StackSize))
        kept.push_back(KeptStack{thread->StackBase, thread->StackSize});
    else
        munmap(thread->StackBase - GuardSize, thread->StackSize + GuardSize);
    thread->StackBase = nullptr;
}

void PrepareFiber(Thread *thread)
{
    uintptr_t top = ((uintptr_t)thread->StackBase + thread->StackSize) & ~(uintptr_t)15;
    uint64_t *frame = (uint64_t *)(top - 80);
    uint32_t mxcsr = 0x1F80;
    uint16_t fpucw = 0x037F;
    memcpy(&frame[0], &mxcsr, 4);
    memcpy((uint8_t *)&frame[0] + 4, &fpucw, 2);
    frame[1] = 0;                    // r15
    frame[2] = 0;                    // r14
    frame[3] = (uint64_t)&FiberMain; // r13: the routine kvrsim_fiber_start calls
    frame[4] = (uint64_t)thread;     // r12: its argument
    frame[5] = 0;                    // rbx
    frame[6] = 0;                    // rbp: the end of the frame chain
    frame[7] = (uint64_t)&kvrsim_fiber_start;
    thread->SavedSp = frame;
#ifdef KVR_SIM_TSAN
    thread->TsanFiber = __tsan_create_fiber(0);
#endif
}

// The next fiber to run: the longest-waiting one, unless the explorer
// chooses another.
Thread *TakeRunnable()
{
    Kernel *k = K;
    size_t index = 0;
    if (k->SwitchTarget) {
        auto found = std::find(k->RunQueue.begin(), k->RunQueue.end(), k->SwitchTarget);
        index = found == k->RunQueue.end() ? 0 : (size_t)(found - k->RunQueue.begin());
        k->SwitchTarget = nullptr;
    } else if (k->RunQueue.size() > 1 && ExplorerOn()) {
        index = ExplorerPickRunnable(k->RunQueue);
    }
    Thread *thread = k->RunQueue[index];
    if (index == 0)
        k->RunQueue.pop_front();
    else
        k->RunQueue.erase(k->RunQueue.begin() + (ptrdiff_t)index);
    if (ExplorerOn())
        ExplorerTaken(thread);
    return thread;
}

// Runs every runnable fiber until each one has blocked or ended.
void DrainRunQueue()
{
    Kernel *k = K;
    while (!k->RunQueue.empty()) {
        Thread *thread = TakeRunnable();
        if (!UnloadedImageWouldRun(thread))
            RunFiber(thread);
    }
}

void DropStaleTimers()
{
    Kernel *k = K;
    while (!k->Timers.empty() && !Timed(k->Timers.front())) {
        std::pop_heap(k->Timers.begin(), k->Timers.end(), std::greater<>{});
        k->Timers.pop_back();
    }
}

std::optional<int64_t> NextTimer()
{
    DropStaleTimers();
    if (K->Timers.empty())
        return std::nullopt;
    return K->Timers.front().Time;
}

// Moves the clock to time and makes every thread due at or before it
// runnable, in the order of their deadlines and then of their waits.
void WakeTimersUpTo(int64_t time)
{
    Kernel *k = K;
    if (time > k->Clock)
        k->Clock = time;
    while (!k->Timers.empty() && k->Timers.front().Time <= time) {
        TimerEntry entry = k->Timers.front();
        std::pop_heap(k->Timers.begin(), k->Timers.end(), std::greater<>{});
        k->Timers.pop_back();
        if (!Timed(entry))
            continue;
        Thread *thread = entry.Owner;
        thread->TimerSequence = 0;
        thread->WakeTime = -1;
        thread->WaitSatisfied = false;
        k->RunQueue.push_back(thread);
    }
}

void AdvanceDeterministic(int64_t target)
{
    DrainRunQueue();
    for (;;) {
        std::optional<int64_t> next = NextTimer();
        if (!next || *next > target)
            break;
        WakeTimersUpTo(*next);
        DrainRunQueue();
    }
    if (target > K->Clock)
        K->Clock = target;
}

// Blocks the calling fiber until a signal or its deadline (-1: none).
// Returns true when a signal satisfied the wait.
bool BlockFiber(Thread *thread, int64_t deadline)
{
    Kernel *k = K;
    thread->Blocked = true;
    thread->WaitSatisfied = false;
    thread->WakeTime = deadline;
    if (deadline >= 0) {
        thread->TimerSequence = ++k->TimerSequence;
        k->Timers.push_back(TimerEntry{deadline, thread->TimerSequence, thread});
        std::push_heap(k->Timers.begin(), k->Timers.end(), std::greater<>{});
    } else {
        thread->TimerSequence = 0;
    }
    SwitchToHarness(thread, false);
    return thread->WaitSatisfied;
}

// --- Dispatcher objects ------------------------------------------------------

constexpr UCHAR NotificationEventType = 0;
constexpr UCHAR SynchronizationEventType = 1;
constexpr UCHAR MutantType = 2;

// Takes the object for thread if it is signalled for it; false if not.
bool TryAcquire(void *object, Thread *thread)
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

void RecordWait(Thread *thread, const LARGE_INTEGER *interval, bool delay)
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

} // namespace

// --- Shared with the other files ---------------------------------------------

// The running fiber goes back to the run queue, behind the others, and the
// thread the explorer chose runs.
void SwitchPointReached(const Access &what)
{
    Kernel *k = K;
    if (!k || k->FreeRunning || !k->Current || !ExplorerOn())
        return;
    Thread *self = k->Current;
    Thread *next = ExplorerAtSwitchPoint(self, k->RunQueue, what);
    if (!next)
        return;
    k->SwitchTarget = next;
    k->RunQueue.push_back(self);
    self->Blocked = true;
    SwitchToHarness(self, false);
}

Thread *CurrentFreeThread()
{
    if (FreeThread)
        return FreeThread;
    FreeHarness.Harness = true;
    return &FreeHarness;
}

bool InSimulatedThread()
{
    return !CurrentThread()->Harness;
}

std::chrono::steady_clock::time_point RealTimeOf(int64_t virtualTime)
{
    // ticks * (micros per ms) * 1000 / TicksPerMs nanoseconds
    long double ns = (long double)virtualTime * K->Opt.RealMicrosPerVirtualMs * 1000.0L /
                     (long double)TicksPerMs;
    return K->RealStart + std::chrono::nanoseconds((int64_t)ns);
}

int64_t CurrentFreeTime()
{
    Kernel *k = K;
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - k->RealStart)
                       .count();
    uint32_t scale = k->Opt.RealMicrosPerVirtualMs ? k->Opt.RealMicrosPerVirtualMs : 1;
    return (int64_t)((long double)elapsed * TicksPerMs / (scale * 1000.0L));
}

void SignalObject(void *object)
{
    Kernel *k = K;
    if (k->FreeRunning) {
        k->Changed.notify_all();
        return;
    }
    // The object's waiters in the order they began to wait; each one that
    // the object now satisfies leaves the list.
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

bool InDeadStack(const void *address, size_t length)
{
    if (!K->ThreadEnded)
        return false;
    uintptr_t begin = (uintptr_t)address;
    uintptr_t end = begin + (length ? length : 1);
    for (auto &thread : K->Threads) {
        if (!thread->Finished && !thread->Ending)
            continue;
        uintptr_t base = (uintptr_t)thread->StackBase;
        if (base && begin < base + thread->StackSize && end > base)
            return true;
    }
    return false;
}

static void *FreeThreadMain(void *argument)
{
    Thread *thread = (Thread *)argument;
    FreeThread = thread;
    if (setjmp(thread->Base) == 0) {
        CallDriver(thread->StartRoutine, thread->StartContext);
        Guard guard;
        CheckThreadEnd(thread);
        thread->Ending = true;
        K->ThreadEnded = true;
        CancelThreadIo(thread);
    }
    {
        std::lock_guard<std::mutex> lock(K->Mutex);
        thread->Finished = true;
        K->ThreadEnded = true;
    }
    K->Changed.notify_all();
    return nullptr;
}

void StopAllThreads()
{
    Kernel *k = K;
    if (!k->FreeRunning)
        return;
    StopSiblingWorker();
    {
        std::lock_guard<std::mutex> lock(k->Mutex);
        k->Stopping = true;
    }
    k->Changed.notify_all();
    for (auto &thread : k->Threads) {
        if (thread->Started) {
            pthread_join(thread->Handle, nullptr);
            thread->Started = false;
            thread->Finished = true;
        }
    }
}

// The storage of the ended threads' registry queries and raised levels, for
// the threads of the next kernel (never destroyed): a fresh kernel's threads
// then allocate nothing for it. Only capacity is carried; a query takes a
// frame as it finds it either way.
struct KeptThreadStorage {
    std::vector<std::unique_ptr<QueryFrame>> QueryFrames;
    std::vector<KIRQL> Raised;
};
constexpr size_t KeptThreadStorageLimit = 8;

std::vector<KeptThreadStorage> &KeptThreads()
{
    static auto *kept = new std::vector<KeptThreadStorage>;
    return *kept;
}

void KeepThreadStorage()
{
    std::vector<KeptThreadStorage> &kept = KeptThreads();
    for (auto &thread : K->Threads) {
        if (kept.size() >= KeptThreadStorageLimit)
            break;
        if (thread->QueryFrames.empty() && thread->Raised.capacity() == 0)
            continue;
        thread->Raised.clear();
        kept.push_back(
            KeptThreadStorage{std::move(thread->QueryFrames), std::move(thread->Raised)});
    }
}

void DestroyAllThreads()
{
    Kernel *k = K;
    StopAllThreads();
    for (auto &thread : k->Threads) {
#ifdef KVR_SIM_TSAN
        if (thread->TsanFiber)
            __tsan_destroy_fiber(thread->TsanFiber);
        thread->TsanFiber = nullptr;
#endif
        UnmapStack(thread.get());
        thread->Finished = true;
    }
    k->RunQueue.clear();
    k->SwitchTarget = nullptr;
    k->HeldThreads.clear();
    k->Timers.clear();
    k->ObjectWaiters.clear();
}

void DrainRunQueueIfIdle()
{
    Kernel *k = K;
    if (!k->FreeRunning && !k->Current && k->CallDepth == 0)
        DrainRunQueue();
}

void ReleaseHeldThreads()
{
    Kernel *k = K;
    auto &held = k->HeldThreads;
    for (auto it = held.begin(); it != held.end();) {
        if ((*it)->HeldUntilCall <= k->OuterCalls) {
            (*it)->HeldUntilCall = 0;
            k->RunQueue.push_back(*it);
            it = held.erase(it);
        } else {
            ++it;
        }
    }
}

// Creates a thread and makes it runnable, or, with hold in deterministic
// mode, keeps it back until the next outermost call from outside has
// returned. The caller holds the guard.
static Thread *NewThread(PKSTART_ROUTINE routine, PVOID context, bool hold)
{
    Kernel *k = K;
    auto owned = std::make_unique<Thread>();
    Thread *thread = owned.get();
    if (std::vector<KeptThreadStorage> &kept = KeptThreads(); !kept.empty()) {
        thread->QueryFrames = std::move(kept.back().QueryFrames);
        thread->Raised = std::move(kept.back().Raised);
        kept.pop_back();
    }
    thread->Id = (uint32_t)k->Threads.size() + 1;
    thread->StartRoutine = routine;
    thread->StartContext = context;
    // Real threads also carry the C library's and the sanitizers' per-thread
    // data on their stack; fibers need only the driver's frames.
    size_t least = k->FreeRunning ? 4 * 1024 * 1024 : 64 * 1024;
    thread->StackSize = k->Opt.ThreadStackSize < least ? least : k->Opt.ThreadStackSize;
    thread->StackBase = MapStack(thread->StackSize);
    if (!thread->StackBase)
        return nullptr;
    if (k->FreeRunning) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, thread->StackBase, thread->StackSize);
        int error = pthread_create(&thread->Handle, &attributes, &FreeThreadMain, thread);
        pthread_attr_destroy(&attributes);
        if (error) {
            UnmapStack(thread);
            return nullptr;
        }
        thread->Started = true;
    } else {
        PrepareFiber(thread);
        if (hold) {
            // The call in progress (if any) is number OuterCalls; the thread
            // waits for the one after it.
            thread->HeldUntilCall = k->OuterCalls + 1;
            k->HeldThreads.push_back(thread);
        } else {
            k->RunQueue.push_back(thread);
        }
    }
    k->Threads.push_back(std::move(owned));
    return thread;
}

Thread *StartKernelThread(PKSTART_ROUTINE routine, PVOID context)
{
    return NewThread(routine, context, false);
}

// The wait that must follow KeReleaseMutex with Wait TRUE: it begins at
// DISPATCH_LEVEL and returns at the IRQL from before the release.
void WaitAfterRelease()
{
    Kernel *k = K;
    if (!k->AwaitingWait.load(std::memory_order_relaxed)) [[likely]]
        return;
    Thread *thread = CurrentThread();
    if (!thread->AwaitingWait)
        return;
    thread->AwaitingWait = false;
    k->AwaitingWait--;
    thread->Irql = thread->IrqlBeforeRelease;
}

void CheckAwaitingWait(const char *routine)
{
    Thread *thread = CurrentThread();
    if (!thread->AwaitingWait)
        return;
    thread->AwaitingWait = false;
    K->AwaitingWait--;
    Guard guard;
    Violate(std::string("KeReleaseMutex with Wait TRUE not followed at once by a wait: ") +
            routine + " was called at DISPATCH_LEVEL instead");
}

void InitialiseScheduler()
{
    Kernel *k = K;
    k->HarnessThread.Id = 0;
    k->HarnessThread.Harness = true;
    k->RealStart = std::chrono::steady_clock::now();
#ifdef KVR_SIM_TSAN
    k->MainTsanFiber = __tsan_get_current_fiber();
#endif
    FreeHarness.Irql = PASSIVE_LEVEL;
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

extern "C" void KvrSwitchPoint(const volatile void *Address, int Kind)
{
    SwitchPointReached(Access{Address, Kind});
}

// --- Harness interface -------------------------------------------------------

namespace sim
{

int64_t Now()
{
    HarnessEntry();
    Guard guard;
    return CurrentTime();
}

uint64_t NowMs()
{
    return (uint64_t)(Now() / TicksPerMs);
}

void RunUntilIdle()
{
    HarnessEntry();
}

void AdvanceToTicks(int64_t time)
{
    HarnessEntry();
    if (K->FreeRunning) {
        std::this_thread::sleep_until(RealTimeOf(time));
        return;
    }
    if (InSimulatedThread())
        return;
    AdvanceDeterministic(time);
}

void AdvanceTicks(int64_t ticks)
{
    HarnessEntry();
    AdvanceToTicks(CurrentTime() + ticks);
}

void Advance(uint64_t ms)
{
    AdvanceTicks((int64_t)ms * TicksPerMs);
}
void AdvanceTo(uint64_t ms)
{
    AdvanceToTicks((int64_t)ms * TicksPerMs);
}

std::optional<int64_t> NextWakeTime()
{
    HarnessEntry();
    if (K->FreeRunning)
        return std::nullopt;
    return NextTimer();
}

std::vector<ThreadInfo> Threads()
{
    HarnessEntry();
    Guard guard;
    std::vector<ThreadInfo> list;
    for (auto &thread : K->Threads)
        list.push_back(ThreadInfo{thread->Id, thread->StartRoutine, thread->StartContext,
                                  thread->Finished, thread->Blocked, thread->WakeTime});
    return list;
}

size_t LiveThreadCount()
{
    HarnessEntry();
    Guard guard;
    size_t live = 0;
    for (auto &thread : K->Threads)
        live += thread->Finished ? 0 : 1;
    return live;
}

void FailNextThreadCreations(unsigned n)
{
    HarnessEntry();
    Guard guard;
    K->FailThreadCreations = n;
}

void HoldNewThreads(bool hold)
{
    HarnessEntry();
    Guard guard;
    K->HoldNewThreads = hold;
}

void StopThreads()
{
    HarnessEntry();
    StopAllThreads();
}

uint32_t CurrentThreadId()
{
    HarnessEntry();
    return CurrentThread()->Id;
}

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

KIRQL Irql()
{
    HarnessEntry();
    return CurrentThread()->Irql;
}

void SetIrql(KIRQL irql)
{
    HarnessEntry();
    Thread *thread = CurrentThread();
    thread->Irql = irql;
    thread->EntryIrql = irql;
    thread->Raised.clear();
}

} // namespace sim

// --- Platform routines ---------------------------------------------------------

extern "C" {

KIRQL KeGetCurrentIrql(void)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("KeGetCurrentIrql");
    return CurrentThread()->Irql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("KfRaiseIrql");
    Thread *thread = CurrentThread();
    KIRQL old = thread->Irql;
    if (NewIrql < old) {
        Guard guard;
        Violate("KfRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                std::to_string(old));
    }
    thread->Irql = NewIrql;
    thread->Raised.push_back(old);
    return old;
}

// It is a fatal error on the platform to lower to anything but the level that
// the immediately preceding raise returned; in particular a context never
// goes below the level it was entered at.
void KeLowerIrql(KIRQL NewIrql)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("KeLowerIrql");
    Thread *thread = CurrentThread();
    if (NewIrql > thread->Irql) {
        Guard guard;
        Violate("KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                std::to_string(thread->Irql));
    }
    if (NewIrql < thread->EntryIrql) {
        Guard guard;
        Violate("KeLowerIrql to " + std::to_string(NewIrql) + " below the IRQL " +
                std::to_string(thread->EntryIrql) + " the context was entered at: a fatal error " +
                OnTarget());
    } else if (thread->Raised.empty()) {
        Guard guard;
        Violate("KeLowerIrql to " + std::to_string(NewIrql) +
                " without a KfRaiseIrql to undo: a fatal error " + OnTarget());
    } else if (thread->Raised.back() != NewIrql) {
        Guard guard;
        Violate("KeLowerIrql to " + std::to_string(NewIrql) +
                ", but the preceding KfRaiseIrql "
                "returned " +
                std::to_string(thread->Raised.back()) + ": a fatal error " + OnTarget());
    }
    if (!thread->Raised.empty())
        thread->Raised.pop_back();
    thread->Irql = NewIrql;
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    EnsureKernelFor(Event);
    KVR_SIM_CHECK_CALLER("KeInitializeEvent");
    Guard guard;
    if (!K->FreeRunning &&
        std::any_of(K->ObjectWaiters.begin(), K->ObjectWaiters.end(),
                    [Event](const auto &waiter) { return waiter.first == Event; }))
        ViolateWith([] { return "KeInitializeEvent on an event that a thread is waiting for"; });
    K->InitialisedObjects.insert(Event);
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
    K->InitialisedObjects.insert(Mutex);
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
        K->AwaitingWait++;
    }
    return previous;
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
        initialised = K->InitialisedObjects.count(Object) != 0;
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
    NTSTATUS status = WaitForObject(Object, Timeout);
    if (zeroTimeout && status == StatusTimeout)
        NoteBusyPeerRequest(Object);
    return status;
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

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    (void)DesiredAccess;
    (void)ObjectAttributes;
    (void)ProcessHandle;
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("PsCreateSystemThread");
    Kernel *k = K;
    Guard guard;
    if (CurrentThread()->Irql != PASSIVE_LEVEL)
        Violate("PsCreateSystemThread above PASSIVE_LEVEL");
    if (k->FailThreadCreations) {
        k->FailThreadCreations--;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!StartRoutine)
        return STATUS_INVALID_PARAMETER;
    Thread *thread = NewThread(StartRoutine, StartContext, k->HoldNewThreads);
    if (!thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    thread->Driver = true;
    // Up to its first switch point the thread runs its start routine on its
    // own stack: the explorer orders that step against nothing.
    if (ExplorerOn())
        ExplorerThreadCreated(thread);
    HANDLE handle = (HANDLE)(uintptr_t)(0x1000 + thread->Id * 4);
    if (ThreadHandle)
        __atomic_store_n(ThreadHandle, handle, __ATOMIC_RELAXED);
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)(uintptr_t)4;
        ClientId->UniqueThread = handle;
    }
    return STATUS_SUCCESS;
}

} // extern "C"
