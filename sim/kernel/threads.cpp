// System threads: their creation (PsCreateSystemThread and the kernel's
// own), their end, and the free-running mode, where every simulated thread
// is a real thread and the virtual clock follows the wall clock scaled down.
// The deterministic mode's fibers are fibers.cpp, its scheduler
// scheduler.cpp.

#include <pthread.h>

#include "kernel/carried_storage.h"
#include "kernel/scheduler.h"
#include "record.h"

#ifdef KVR_SIM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace sim::detail
{

namespace
{

thread_local Thread *FreeThread = nullptr; // free-running: the simulated thread
thread_local Thread FreeHarness{};         // free-running: any other OS thread

} // namespace

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

void DestroyAllThreads()
{
    Kernel *k = K;
    StopAllThreads();
    for (auto &thread : k->Threads) {
        ImageStackOfStoppedThread(*thread);
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

// Creates a thread and makes it runnable, or, with hold in deterministic
// mode, keeps it back until the next outermost call from outside has
// returned. The caller holds the guard.
static Thread *NewThread(PKSTART_ROUTINE routine, PVOID context, bool hold)
{
    Kernel *k = K;
    auto owned = std::make_unique<Thread>();
    Thread *thread = owned.get();
    TakeThreadStorage(*thread);
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

namespace sim
{

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

} // namespace sim

extern "C" {

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
