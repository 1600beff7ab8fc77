// The scheduler of the deterministic mode: the run queue, the timers of the
// virtual clock, and blocking a fiber until a signal or its deadline. A
// fiber runs until it waits; time moves only when every fiber is blocked, to
// the earliest wake-up, and threads due at the same instant run in the order
// in which they began their waits. Same inputs, same order, same trace.

#include <algorithm>

#include "kernel/scheduler.h"
#include "record.h"

namespace sim::detail
{

namespace
{

bool Timed(const TimerEntry &entry)
{
    return entry.Owner->Blocked && entry.Owner->TimerSequence == entry.Sequence;
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
    } else if (ExplorerOn() && k->RunQueue.size() > 1) {
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

} // namespace

// Runs every runnable fiber until each one has blocked or ended; none while
// the system sleeps, when the clock moves on and the threads whose waits end
// wait in the run queue for the resume.
void DrainRunQueue()
{
    Kernel *k = K;
    while (!k->Asleep && !k->RunQueue.empty()) {
        Thread *thread = TakeRunnable();
        if (!UnloadedImageWouldRun(thread))
            RunFiber(thread);
    }
}

namespace
{

void DropStaleTimers()
{
    Kernel *k = K;
    while (!k->Timers.empty() && !Timed(k->Timers.front())) {
        std::pop_heap(k->Timers.begin(), k->Timers.end(), std::greater<>{});
        k->Timers.pop_back();
    }
}

} // namespace

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

void SleepSystem()
{
    K->Asleep = true;
}

void ResumeSystem()
{
    Kernel *k = K;
    if (!k->Asleep)
        return;
    k->Asleep = false;
    WakeTimersUpTo(k->Clock);
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

bool SystemAsleep()
{
    HarnessEntry();
    return K->Asleep;
}

std::optional<int64_t> NextWakeTime()
{
    HarnessEntry();
    if (K->FreeRunning)
        return std::nullopt;
    return NextTimer();
}

} // namespace sim
