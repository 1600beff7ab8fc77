// IRQL: KeGetCurrentIrql, KfRaiseIrql and KeLowerIrql, and the harness's
// view of the calling context's level.

#include "record.h"

using namespace sim;
using namespace sim::detail;

namespace sim
{

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

} // extern "C"
