// Fibers: the deterministic mode's simulated threads. Every simulated thread
// is a fiber with a stack of its own, switched by a small hand-written
// context switch; the harness context (the OS thread that drives the run) is
// the scheduler (scheduler.cpp), which runs a fiber until it waits.

#include <sys/mman.h>

#include <algorithm>

#include "kernel/callee_saved.h"
#include "kernel/carried_storage.h"
#include "kernel/scheduler.h"
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
)" KVRSIM_PUSH_CALLEE_SAVED R"(
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
)" KVRSIM_POP_CALLEE_SAVED R"(
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

constexpr size_t GuardSize = 4096;
// The bytes at the top of a new stack filled with the stack pattern.
constexpr size_t FilledStackBytes = 64 * 1024;

void FiberMain(Thread *thread);

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

} // namespace

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

namespace
{

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

} // namespace

// A Windows kernel stack holds whatever was there before; a new stack here
// holds the stack pattern (StackFill), as Driver Verifier and
// -ftrivial-auto-var-init=pattern fill them, so that a local read before it
// is written gives a recognisable value instead of a harmless zero.
uint8_t *MapStack(size_t size)
{
    if (uint8_t *kept = TakeKeptStack(size))
        return kept;
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

void UnmapStack(Thread *thread)
{
    if (!thread->StackBase)
        return;
#ifdef KVR_SIM_ASAN
    __asan_unpoison_memory_region(thread->StackBase, thread->StackSize);
#endif
    if (!KeepStack(thread->StackBase, thread->StackSize))
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

} // namespace sim::detail
