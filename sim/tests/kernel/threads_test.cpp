// Threads on the virtual clock: deterministic order and time, waits and
// their records, events and mutexes, IRQL, teardown of threads that never
// return, and the free-running mode.

#include "../fixture.h"

#include <atomic>
#include <string>

namespace
{

struct Step {
    int Thread;
    int64_t Time;
};

std::vector<Step> Steps;

LARGE_INTEGER Relative(int64_t ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * sim::TicksPerMs;
    return interval;
}

// Records itself, then waits its period (the context, in ms), forever.
template <int Id> void Periodic(PVOID context)
{
    LARGE_INTEGER interval = Relative((int64_t)(uintptr_t)context);
    for (;;) {
        Steps.push_back(Step{Id, sim::Now()});
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

HANDLE Start(PKSTART_ROUTINE routine, PVOID context = nullptr)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    return handle;
}

class Threads : public sim_test::NoFindings
{
  protected:
    void SetUp() override
    {
        Steps.clear();
        sim::Reset();
    }
};

TEST_F(Threads, RunInCreationOrderAndWakeInDeadlineThenWaitOrder)
{
    Start(Periodic<1>, (PVOID)250);
    Start(Periodic<2>, (PVOID)100);
    // Nothing runs until the harness gives the threads the processor.
    EXPECT_TRUE(Steps.empty());
    sim::RunUntilIdle();
    ASSERT_EQ(Steps.size(), 2u);
    EXPECT_EQ(Steps[0].Thread, 1);
    EXPECT_EQ(Steps[1].Thread, 2);

    sim::Advance(500);
    // 100, 200, then at 250 thread 1 (its wait began first, at 0), then 300,
    // 400, and at 500 thread 1 again before thread 2 (which began at 400).
    std::vector<std::pair<int, int64_t>> seen;
    for (const Step &step : Steps)
        seen.emplace_back(step.Thread, step.Time / sim::TicksPerMs);
    std::vector<std::pair<int, int64_t>> expected = {
        {1, 0}, {2, 0}, {2, 100}, {2, 200}, {1, 250}, {2, 300}, {2, 400}, {1, 500}, {2, 500}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(sim::NowMs(), 500u);
    EXPECT_EQ(*sim::NextWakeTime(), 600 * sim::TicksPerMs);
}

TEST_F(Threads, AdvanceStopsAtTheTargetWithNothingDueLeftUnrun)
{
    Start(Periodic<1>, (PVOID)250);
    sim::Advance(249);
    EXPECT_EQ(Steps.size(), 1u);
    EXPECT_EQ(sim::NowMs(), 249u);
    sim::AdvanceTo(250);
    EXPECT_EQ(Steps.size(), 2u);
    sim::AdvanceTicks(1);
    EXPECT_EQ(sim::Now(), 250 * sim::TicksPerMs + 1);
}

TEST_F(Threads, EveryWaitIsRecorded)
{
    Start(Periodic<1>, (PVOID)250);
    Start(Periodic<2>, (PVOID)500);
    sim::Advance(500);
    const auto &waits = sim::Waits();
    ASSERT_EQ(waits.size(), 5u);
    EXPECT_EQ(waits[0].Thread, 1u);
    EXPECT_EQ(waits[0].Time, 0);
    EXPECT_EQ(waits[0].Interval, -2500000);
    EXPECT_TRUE(waits[0].Delay);
    EXPECT_EQ(waits[1].Thread, 2u);
    EXPECT_EQ(waits[1].Interval, -5000000);
    EXPECT_EQ(waits[2].Time, 250 * sim::TicksPerMs);
    EXPECT_EQ(sim::WaitCount(), 5u);
}

TEST_F(Threads, SameInputsGiveTheSameRunByteForByte)
{
    auto run = [] {
        Steps.clear();
        sim::Reset();
        Start(Periodic<1>, (PVOID)7);
        Start(Periodic<2>, (PVOID)3);
        Start(Periodic<3>, (PVOID)5);
        sim::Advance(1000);
        std::string text;
        for (const Step &step : Steps)
            text += std::to_string(step.Thread) + "@" + std::to_string(step.Time) + ";";
        for (const sim::WaitRecord &wait : sim::Waits())
            text += std::to_string(wait.Thread) + ":" + std::to_string(wait.Time) + ";";
        return text;
    };
    std::string first = run();
    EXPECT_EQ(first, run());
    EXPECT_GT(first.size(), 1000u);
}

KEVENT Gate;
std::atomic<int> Passed{0};

void PassGate(PVOID)
{
    KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, nullptr);
    Passed++;
}

TEST_F(Threads, SignalledSynchronizationEventIsTakenOnceAndReinitialisingAWaitedEventIsCaught)
{
    Passed = 0;
    KeInitializeEvent(&Gate, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, &zero), 0x102);
    KeInitializeEvent(&Gate, NotificationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());

    KeInitializeEvent(&Gate, SynchronizationEvent, FALSE);
    Start(PassGate);
    sim::RunUntilIdle();
    EXPECT_EQ(Passed, 0);
    KeInitializeEvent(&Gate, SynchronizationEvent, FALSE);
    ViolationsExpected = true;
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("waiting"), std::string::npos);
}

void TimedWait(PVOID)
{
    LARGE_INTEGER timeout = Relative(100);
    NTSTATUS status = KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, &timeout);
    Steps.push_back(Step{(int)status, sim::Now()});
}

TEST_F(Threads, TimedWaitTimesOutOnTheClock)
{
    KeInitializeEvent(&Gate, NotificationEvent, FALSE);
    Start(TimedWait);
    Start(TimedWait);
    sim::Advance(99);
    EXPECT_TRUE(Steps.empty());
    sim::Advance(1);
    ASSERT_EQ(Steps.size(), 2u);
    EXPECT_EQ(Steps[0].Thread, 0x102);
    EXPECT_EQ(Steps[0].Time, 100 * sim::TicksPerMs);
    ASSERT_EQ(sim::Waits().size(), 2u);
    EXPECT_FALSE(sim::Waits()[0].Delay);
}

KMUTEX Lock;

void HoldAcross(PVOID context)
{
    KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr); // recursive
    Steps.push_back(Step{(int)(uintptr_t)context, sim::Now()});
    LARGE_INTEGER interval = Relative(50);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeReleaseMutex(&Lock, FALSE);
    KeReleaseMutex(&Lock, FALSE);
}

TEST_F(Threads, MutexIsRecursiveAndHandsOverOnRelease)
{
    KeInitializeMutex(&Lock, 0);
    Start(HoldAcross, (PVOID)1);
    Start(HoldAcross, (PVOID)2);
    sim::Advance(200);
    ASSERT_EQ(Steps.size(), 2u);
    EXPECT_EQ(Steps[0].Thread, 1);
    EXPECT_EQ(Steps[0].Time, 0);
    EXPECT_EQ(Steps[1].Thread, 2);
    EXPECT_EQ(Steps[1].Time, 50 * sim::TicksPerMs);
    EXPECT_EQ(Lock.Header.SignalState, 1);

    // The harness context waits for the mutex while a thread holds it: the
    // clock runs until the holder lets go.
    Start(HoldAcross, (PVOID)3);
    sim::RunUntilIdle();
    EXPECT_EQ(KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::NowMs(), 250u);
    EXPECT_EQ(KeReleaseMutex(&Lock, FALSE), 0);
}

TEST_F(Threads, ReleasingAMutexNotOwnedIsAViolation)
{
    ViolationsExpected = true;
    KeInitializeMutex(&Lock, 0);
    KeReleaseMutex(&Lock, FALSE);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("does not own"), std::string::npos);
}

KMUTEX Kept;

// Takes the mutex twice and lets go once, then ends still owning it.
void KeepOneAcquisition(PVOID)
{
    KeWaitForSingleObject(&Kept, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&Kept, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&Kept, FALSE);
    Steps.push_back(Step{1, sim::Now()});
}

void TakeLock(PVOID)
{
    KeWaitForSingleObject(&Kept, Executive, KernelMode, FALSE, nullptr);
    Steps.push_back(Step{2, sim::Now()});
    KeReleaseMutex(&Kept, FALSE);
}

TEST_F(Threads, MutexIsFreeOnlyAfterAsManyReleasesAndAThreadMustNotEndOwningIt)
{
    ViolationsExpected = true;
    Kept = KMUTEX{};
    KeInitializeMutex(&Kept, 0);
    Start(KeepOneAcquisition);
    Start(TakeLock);
    sim::Advance(100);
    // One acquisition is left: the second thread never gets the mutex.
    ASSERT_EQ(Steps.size(), 1u);
    EXPECT_EQ(Steps[0].Thread, 1);
    EXPECT_EQ(Kept.Header.SignalState, 0);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("thread 1 ended owning a mutex"), std::string::npos);
}

TEST_F(Threads, ReinitialisingAnOwnedMutexAndWaitingForItAtDispatchAreViolations)
{
    ViolationsExpected = true;
    KMUTEX Lock{};
    KeInitializeMutex(&Lock, 0);
    ASSERT_EQ(KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());
    KeInitializeMutex(&Lock, 0);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("KeInitializeMutex on a mutex that a thread owns"),
              std::string::npos);

    // At DISPATCH_LEVEL only a test of the state (zero timeout) is allowed.
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(sim::Violations().size(), 1u);
    KeReleaseMutex(&Lock, FALSE);
    KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&Lock, FALSE);
    KeLowerIrql(old);
    ASSERT_EQ(sim::Violations().size(), 2u);
    EXPECT_NE(sim::Violations()[1].Text.find("timeout other than zero at IRQL 2"),
              std::string::npos);
}

void RecordOnce(PVOID context)
{
    Steps.push_back(Step{(int)(uintptr_t)context, sim::Now()});
}

bool CreateInCallback = false;

// A call from outside into a callback; the first one with CreateInCallback
// creates a thread, as DriverEntry creates the monitor.
NTSTATUS RecordCall(PVOID, PVOID)
{
    Steps.push_back(Step{0, sim::Now()});
    if (CreateInCallback) {
        CreateInCallback = false;
        Start(RecordOnce, (PVOID)1);
    }
    return STATUS_SUCCESS;
}

TEST_F(Threads, AHeldBackThreadRunsOnlyAfterTheNextCallFromOutsideHasReturned)
{
    PVOID entry = nullptr;
    GUID usb = GUID_DEVINTERFACE_USB_DEVICE;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &usb, nullptr,
                                             RecordCall, nullptr, &entry),
              STATUS_SUCCESS);
    sim::HoldNewThreads(true);
    CreateInCallback = true;
    sim::PlugUsb("AAAA", "0001", "ONE000"); // creates the thread during the call
    sim::HoldNewThreads(false);
    Start(RecordOnce, (PVOID)2); // not held: runs at the next harness call
    sim::Advance(100);
    ASSERT_EQ(Steps.size(), 2u);
    EXPECT_EQ(Steps[1].Thread, 2);

    // The next call from outside: the held thread runs after it.
    sim::PlugUsb("AAAA", "0002", "TWO000");
    EXPECT_EQ(Steps.size(), 3u);
    sim::RunUntilIdle();
    ASSERT_EQ(Steps.size(), 4u);
    EXPECT_EQ(Steps[2].Thread, 0);
    EXPECT_EQ(Steps[3].Thread, 1);
    EXPECT_EQ(Steps[3].Time, 100 * sim::TicksPerMs);
}

void WaitAtDispatch(PVOID)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    LARGE_INTEGER interval = Relative(10);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(old);
}

TEST_F(Threads, WaitAboveApcLevelIsAViolation)
{
    ViolationsExpected = true;
    Start(WaitAtDispatch);
    sim::Advance(20);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("KeDelayExecutionThread at IRQL 2"),
              std::string::npos);
}

TEST_F(Threads, IrqlIsKeptPerContextAndMisuseIsAViolation)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(sim::Irql(), DISPATCH_LEVEL);
    EXPECT_TRUE(sim::Violations().empty());
    KfRaiseIrql(APC_LEVEL);      // below the current level
    KeLowerIrql(DISPATCH_LEVEL); // above the current level
    KeLowerIrql(PASSIVE_LEVEL);
    ViolationsExpected = true;
    ASSERT_EQ(sim::Violations().size(), 2u);
    EXPECT_NE(sim::Violations()[0].Text.find("KfRaiseIrql"), std::string::npos);
    EXPECT_NE(sim::Violations()[1].Text.find("KeLowerIrql"), std::string::npos);
}

// Lowering to anything but what the preceding raise returned is fatal on the
// platform, and in particular below the level the context was entered at (a
// routine called at DISPATCH_LEVEL that drops to PASSIVE_LEVEL).
TEST_F(Threads, LoweringBelowTheEntryLevelOrWithoutARaiseIsAFatalError)
{
    ViolationsExpected = true;
    sim::SetIrql(DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find(
                  "KeLowerIrql to 0 below the IRQL 2 the context was entered at"),
              std::string::npos)
        << sim::Violations()[0].Text;
    EXPECT_NE(sim::Violations()[0].Text.find("Windows 7 x64"), std::string::npos);

    sim::ClearViolations();
    sim::SetIrql(APC_LEVEL);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_TRUE(sim::Violations().empty()) << "a raise undone exactly";
    KeLowerIrql(APC_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("without a KfRaiseIrql to undo"), std::string::npos);

    sim::ClearViolations();
    sim::SetIrql(PASSIVE_LEVEL);
    KfRaiseIrql(DISPATCH_LEVEL);
    KeLowerIrql(APC_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("the preceding KfRaiseIrql returned 0"),
              std::string::npos);
    sim::SetIrql(PASSIVE_LEVEL);
}

// Code in the pageable section may run at APC_LEVEL and below; at
// DISPATCH_LEVEL its page may be absent, and the fault stops the system.
KVR_PAGED_CODE __attribute__((noinline)) KIRQL PageableRoutine()
{
    return KeGetCurrentIrql();
}

// Start-up code is discarded once DriverEntry has returned.
KVR_INIT_CODE __attribute__((noinline)) KIRQL StartUpRoutine()
{
    return KeGetCurrentIrql();
}

NTSTATUS EntryCallingStartUpCode(PDRIVER_OBJECT, PUNICODE_STRING)
{
    StartUpRoutine();
    return STATUS_SUCCESS;
}

TEST_F(Threads, PageableCodeAtDispatchLevelAndStartUpCodeAfterDriverEntryAreFindings)
{
#if !KVR_CODE_SECTIONS
    GTEST_SKIP() << "the optimised build keeps all code in one section";
#endif
    ViolationsExpected = true;
    for (KIRQL level : {PASSIVE_LEVEL, APC_LEVEL}) {
        sim::SetIrql(level);
        EXPECT_EQ(PageableRoutine(), level);
    }
    EXPECT_TRUE(sim::Violations().empty());
    sim::SetIrql(DISPATCH_LEVEL);
    PageableRoutine();
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find(
                  "pageable code running at IRQL 2 (it called KeGetCurrentIrql)"),
              std::string::npos)
        << sim::Violations()[0].Text;

    sim::ClearViolations();
    ASSERT_EQ(sim::LoadDriver(EntryCallingStartUpCode), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Violations().empty());
    StartUpRoutine();
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("start-up code running after DriverEntry returned"),
              std::string::npos);
}

std::atomic<bool> Stayed{false};

void EndRaised(PVOID)
{
    KfRaiseIrql(APC_LEVEL);
    Stayed = true;
}

TEST_F(Threads, ThreadsHaveTheirOwnIrqlAndMustEndAtPassive)
{
    ViolationsExpected = true;
    Start(EndRaised);
    sim::SetIrql(DISPATCH_LEVEL);
    sim::SetIrql(PASSIVE_LEVEL);
    sim::RunUntilIdle();
    EXPECT_TRUE(Stayed);
    EXPECT_EQ(sim::Irql(), PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("ended at IRQL 1"), std::string::npos);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

TEST_F(Threads, ResetTearsDownThreadsThatNeverReturn)
{
    for (int run = 0; run < 20; ++run) {
        Steps.clear();
        sim::Reset();
        Start(Periodic<1>, (PVOID)250);
        sim::Advance(1000);
        EXPECT_EQ(sim::LiveThreadCount(), 1u);
        EXPECT_EQ(Steps.size(), 5u);
    }
    sim::Reset();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    EXPECT_EQ(sim::Now(), 0);
    EXPECT_TRUE(sim::Waits().empty());
}

// A stretch of the calling thread's stack below its frame, not yet used.
__attribute__((noinline)) volatile uint8_t *UnusedStack()
{
    auto *frame = static_cast<volatile uint8_t *>(__builtin_frame_address(0));
    return frame - 8192 - 16384;
}
constexpr size_t StretchBytes = 16384;

// Fills a stretch of its stack and waits forever.
__attribute__((no_sanitize("address"))) void Scribble(PVOID)
{
    volatile uint8_t *area = UnusedStack();
    for (size_t i = 0; i < StretchBytes; ++i)
        area[i] = 0xCC;
    LARGE_INTEGER interval = Relative(1000);
    for (;;)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Counts the bytes of the same stretch that are not the stack pattern.
size_t StackLeftovers;
__attribute__((no_sanitize("address"))) void Look(PVOID)
{
    volatile uint8_t *area = UnusedStack();
    StackLeftovers = 0;
    for (size_t i = 0; i < StretchBytes; ++i)
        StackLeftovers += area[i] != 0xC7;
    LARGE_INTEGER interval = Relative(1000);
    for (;;)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The threads of a fresh kernel start on stacks filled with the stack
// pattern, also where the memory served a thread of an earlier kernel: a
// local read before it is written shows the pattern, never what a thread
// before left there.
TEST_F(Threads, AFreshKernelsThreadsStartOnStacksFilledWithThePattern)
{
    for (int run = 0; run < 3; ++run) {
        sim::Reset();
        Start(Scribble);
        sim::RunUntilIdle();
        sim::Reset();
        StackLeftovers = 1;
        Start(Look);
        sim::RunUntilIdle();
        EXPECT_EQ(StackLeftovers, 0u);
    }
}

TEST_F(Threads, ThreadCreationCanBeRefused)
{
    sim::FailNextThreadCreations(1);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Periodic<1>, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Periodic<1>, (PVOID)10),
              STATUS_SUCCESS);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(sim::Threads().size(), 1u);
}

// --- Free-running mode --------------------------------------------------------

std::atomic<int> FreeTurns{0};

void FreeLoop(PVOID)
{
    LARGE_INTEGER interval = Relative(250);
    for (;;) {
        KeWaitForSingleObject(&Lock, Executive, KernelMode, FALSE, nullptr);
        FreeTurns++;
        KeReleaseMutex(&Lock, FALSE);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

TEST_F(Threads, FreeRunningThreadsRunOnTheirOwnAndStopAtTheirNextWait)
{
    FreeTurns = 0;
    sim::Options options;
    options.RunMode = sim::Mode::FreeRunning;
    options.RealMicrosPerVirtualMs = 4; // 250 ms of virtual time is 1 ms
    sim::Reset(options);
    KeInitializeMutex(&Lock, 0);
    Start(FreeLoop);
    Start(FreeLoop);
    // The clock runs on its own; wait (on it) until both threads have
    // turned a few times, however slowly the machine runs them.
    while (FreeTurns < 20 && sim::NowMs() < 1000000)
        sim::Advance(250);
    EXPECT_GE(FreeTurns, 20);
    sim::StopThreads();
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    int turns = FreeTurns;
    sim::Advance(1000);
    EXPECT_EQ(FreeTurns, turns); // stopped threads stay stopped
    EXPECT_GE(sim::WaitCount(), (uint64_t)turns);
}

} // namespace
