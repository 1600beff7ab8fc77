// The record of a run, composed of each room's part, and what reads it.
//
// One record, Kernel K, holds everything a run creates; Reset replaces it
// whole. Each room declares its own part with its internals (kernel/kernel.h,
// kernel/pool.h, registry/registry.h, io/io.h, devices/devices.h,
// videoport/videoport.h); the record is their sum, in this order. In
// deterministic mode every routine runs on one OS thread (fibers), so
// nothing is locked; in free-running mode every routine takes K.Mutex for its
// bookkeeping and never holds it while it calls into the driver.

#ifndef KVR_SIM_RECORD_H
#define KVR_SIM_RECORD_H

#include "devices/devices.h"
#include "gdi/gdi.h"
#include "image/image.h"
#include "io/io.h"
#include "kernel/kernel.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "registry/registry.h"
#include "videoport/videoport.h"

namespace sim::detail
{

struct Kernel : RunState,
                SchedulerState,
                VerifierState,
                PoolState,
                RegistryState,
                IoState,
                SiblingState,
                PlugPlayState,
                VideoPortState,
                GdiState,
                TraceState {
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

// The same for a caller that does not hold the guard.
template <typename Text> [[gnu::noinline, gnu::cold]] void ViolateLockedWith(Text text)
{
    Guard guard;
    Violate(text());
}
inline bool Tracing()
{
    return K->Opt.TraceEnabled || K->TraceObserver;
}

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

// The calling context, never null.
inline Thread *CurrentThread()
{
    Kernel *k = K;
    if (k->FreeRunning)
        return CurrentFreeThread();
    return k->Current ? k->Current : &k->HarnessThread;
}
inline int64_t CurrentTime()
{
    Kernel *k = K;
    return k->FreeRunning ? CurrentFreeTime() : k->Clock;
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

// Whether the kernel may read the driver's memory with plain loads: in
// deterministic mode one context runs at a time and none is switched in while
// a kernel routine runs, so nothing can write what it reads meanwhile. In
// free-running mode it reads with relaxed loads, as the driver's own shared
// fields are read.
inline bool PlainReads()
{
    return !K->FreeRunning;
}

} // namespace sim::detail

#endif // KVR_SIM_RECORD_H
