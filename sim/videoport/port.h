// What the video port's files and the display-driver stand-in share that
// needs the whole kernel record: the accesses after the miniport's callbacks,
// the calls into the miniport with their IRQL check, and the turn of control
// requests into HwStartIO.

#ifndef KVR_SIM_VIDEOPORT_PORT_H
#define KVR_SIM_VIDEOPORT_PORT_H

#include <string>

#include "record.h"

namespace sim::detail
{

// The video port's work after a callback that changes the adapter's state.
struct AdapterState {
    Access operator()() const { return Access{&AdapterObject, KernelCallPoint, StartIoGate()}; }
};

// After HwStartIO: the request's own buffers, and the gate it opens.
struct AfterStartIo {
    Access operator()() const
    {
        const volatile void *gate = StartIoGate();
        return gate ? Access{gate, KernelCallPoint} : CallerOwnState{}();
    }
};

// Runs a callback on the calling context and checks that it comes back at
// the IRQL it was called at.
template <typename Call> auto CallMiniport(const char *name, Call call)
{
    Thread *thread = CurrentThread();
    KIRQL irql = thread->Irql;
    auto result = [&] {
        CallOut out;
        return call();
    }();
    if (thread->Irql != irql) {
        Guard guard;
        Violate(std::string(name) + " returned at IRQL " + std::to_string(thread->Irql) +
                ", called at " + std::to_string(irql));
    }
    return result;
}

// Deterministic mode: a simulated thread whose control request finds another
// one inside HwStartIO (switched out at one of its waits or switch points)
// waits until that one returns, and so does a removal of the adapter's device
// (the device goes once the request in progress is done). The harness is
// not gated: it runs only while every simulated thread is blocked.
class StartIoTurn
{
  public:
    StartIoTurn() : Gated(!K->FreeRunning && K->Current)
    {
        if (!Gated)
            return;
        if (!K->StartIoGateReady) {
            KeInitializeEvent(&K->StartIoGate, SynchronizationEvent, TRUE);
            K->StartIoGateReady = true;
        }
        KeWaitForSingleObject(&K->StartIoGate, Executive, KernelMode, FALSE, nullptr);
    }
    ~StartIoTurn()
    {
        if (!Gated)
            return;
        Guard guard;
        __atomic_store_n(&K->StartIoGate.Header.SignalState, 1, __ATOMIC_RELAXED);
        SignalObject(&K->StartIoGate);
    }
    StartIoTurn(const StartIoTurn &) = delete;
    StartIoTurn &operator=(const StartIoTurn &) = delete;

  private:
    bool Gated;
};

} // namespace sim::detail

#endif // KVR_SIM_VIDEOPORT_PORT_H
