// What the kernel room's thread files call of each other: the fibers
// (fibers.cpp), the scheduler (scheduler.cpp), the dispatcher objects
// (dispatcher.cpp) and the threads themselves (threads.cpp).

#ifndef KVR_SIM_KERNEL_SCHEDULER_H
#define KVR_SIM_KERNEL_SCHEDULER_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "kernel/kernel.h"

namespace sim::detail
{

// Fibers (fibers.cpp).
// What a system thread must not leave behind when its start routine returns.
// A mutex still owned is never released again (THREAD_TERMINATE_HELD_MUTEX).
void CheckThreadEnd(Thread *thread);
// From the harness context into a fiber, until it blocks or ends.
void RunFiber(Thread *thread);
// From a fiber back to the harness context.
void SwitchToHarness(Thread *thread, bool exiting);
// A thread's stack (a kept one when one of the size is), filled with the
// stack pattern at its top, with an inaccessible page below it; null when
// none could be mapped. UnmapStack keeps it for the next kernel or unmaps it.
uint8_t *MapStack(size_t size);
void UnmapStack(Thread *thread);
// A new fiber's first frame, so that its first switch calls its start.
void PrepareFiber(Thread *thread);

// Scheduler (scheduler.cpp).
// Runs every runnable fiber until each one has blocked or ended.
void DrainRunQueue();
// The earliest wake-up still due, if any.
std::optional<int64_t> NextTimer();
// Moves the clock to time and makes every thread due at or before it
// runnable, in the order of their deadlines and then of their waits.
void WakeTimersUpTo(int64_t time);
void AdvanceDeterministic(int64_t target);
// The system goes to sleep: from now on no thread runs and no wait times out,
// while the clock goes on moving. At the resume every wait whose time came
// during the sleep times out at once, in the order of the deadlines and then
// of the waits, and the threads run from the next harness call on.
void SleepSystem();
void ResumeSystem();
// Blocks the calling fiber until a signal or its deadline (-1: none).
// Returns true when a signal satisfied the wait.
bool BlockFiber(Thread *thread, int64_t deadline);

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_SCHEDULER_H
