// The interleaving explorer on small programs of its own: a lost update that
// only some interleavings show, the reproduction of a run from its seed and
// from its schedule, the bounded enumeration, a spin that must end, and the
// partial-order search reaching every final state the full enumeration does.

#include "sim.h"
#include "explore/explore.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "driver/platform/kvr_shared.h"

namespace
{

Shared<ULONG> Counter;
Shared<ULONG> Flag;
int Finished = 0;

// Read, then write back one more: an update that another thread's update
// between the two accesses makes lost.
void Increment(PVOID)
{
    LARGE_INTEGER now;
    now.QuadPart = 10 * sim::TicksPerMs; // absolute: both threads go on at 10 ms
    KeDelayExecutionThread(KernelMode, FALSE, &now);
    ULONG seen = Counter.Load();
    Counter.Store(seen + 1);
    Finished++;
}

void SetFlag(PVOID)
{
    Flag.Store(1);
    Finished++;
}

void WaitForFlag(PVOID)
{
    while (Flag.Load() == 0) {
    }
    Finished++;
}

struct Result {
    ULONG Count;
    sim::ScheduleRecord Record;
};

// Two threads started under the explorer in a kernel the caller has just
// reset, run for 20 virtual milliseconds; the record of their schedule.
sim::ScheduleRecord ExploreTwo(const sim::ScheduleOptions &options, PKSTART_ROUTINE first,
                               PKSTART_ROUTINE second)
{
    sim::BeginExploring(options);
    HANDLE handle;
    for (PKSTART_ROUTINE body : {first, second})
        EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, body, nullptr),
                  STATUS_SUCCESS);
    sim::Advance(20);
    return sim::EndExploring();
}

Result RunIncrements(const sim::ScheduleOptions &options)
{
    sim::Reset();
    Counter.Store(0);
    Finished = 0;
    sim::ScheduleRecord record = ExploreTwo(options, Increment, Increment);
    Result result{Counter.Load(), record};
    EXPECT_EQ(Finished, 2);
    EXPECT_TRUE(sim::Shutdown().empty());
    return result;
}

TEST(Explorer, DefaultOrderRunsEachThreadToItsWait)
{
    Result result = RunIncrements(sim::ScheduleOptions{});
    EXPECT_EQ(result.Count, 2u);
    EXPECT_TRUE(result.Record.Switches.empty());
    EXPECT_GT(result.Record.Points, 0u);
}

TEST(Explorer, BoundedEnumerationFindsTheLostUpdateOnceEach)
{
    sim::BoundedSchedules bounded(2);
    std::vector<sim::Switch> switches;
    std::set<std::string> seen;
    int lost = 0;
    int runs = 0;
    while (bounded.Next(switches)) {
        sim::ScheduleOptions options;
        options.Switches = switches;
        options.RecordDecisions = true;
        Result result = RunIncrements(options);
        bounded.Record(result.Record);
        EXPECT_EQ(result.Record.Switches, switches);
        EXPECT_TRUE(seen.insert(sim::ScheduleText(switches)).second);
        lost += result.Count == 1 ? 1 : 0;
        ASSERT_LT(++runs, 10000);
    }
    EXPECT_GT(lost, 0);
    EXPECT_LT(lost, runs);
}

TEST(Explorer, ASeedOrAScheduleReproducesItsRun)
{
    for (sim::Strategy kind : {sim::Strategy::RandomWalk, sim::Strategy::Pct}) {
        int lost = 0;
        for (uint64_t seed = 1; seed <= 40; ++seed) {
            sim::ScheduleOptions options;
            options.Kind = kind;
            options.Seed = seed;
            options.PctPoints = 8;
            Result first = RunIncrements(options);
            Result again = RunIncrements(options);
            EXPECT_EQ(first.Count, again.Count);
            EXPECT_EQ(first.Record.Switches, again.Record.Switches);
            sim::ScheduleOptions replay;
            replay.Switches = *sim::ParseSchedule(sim::ScheduleText(first.Record.Switches));
            Result replayed = RunIncrements(replay);
            EXPECT_EQ(replayed.Count, first.Count);
            EXPECT_EQ(replayed.Record.Switches, first.Record.Switches);
            lost += first.Count == 1 ? 1 : 0;
        }
        EXPECT_GT(lost, 0) << sim::StrategyName(kind);
    }
}

TEST(Explorer, ASpinningThreadYieldsToTheOneItWaitsFor)
{
    sim::Reset();
    Flag.Store(0);
    Finished = 0;
    sim::BeginExploring(sim::ScheduleOptions{});
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitForFlag, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, SetFlag, nullptr),
              STATUS_SUCCESS);
    sim::RunUntilIdle();
    sim::EndExploring();
    EXPECT_EQ(Finished, 2);
    EXPECT_TRUE(sim::Shutdown().empty());
}

// Store buffering between A and B, then a read-modify-write in A of a word
// B does not touch: the final state is what A and B read, and Z.
Shared<ULONG> X;
Shared<ULONG> Y;
Shared<ULONG> Z;
ULONG SeenByA = 0;
ULONG SeenByB = 0;

void WaitUntil10Ms()
{
    LARGE_INTEGER at;
    at.QuadPart = 10 * sim::TicksPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &at);
}

void StoreXLoadY(PVOID)
{
    WaitUntil10Ms();
    X.Store(1);
    SeenByA = Y.Load();
    Z.Store(Z.Load() + 1);
}

void StoreYLoadX(PVOID)
{
    WaitUntil10Ms();
    Y.Store(1);
    SeenByB = X.Load();
}

// Two plain fields that one region guards (no lock here: the region alone
// tells the explorer that the steps between its marks touch them), written
// by one thread and copied by another, with a switch point between the two
// fields of each.
int Fields = 0;
ULONG PlainFirst = 0, PlainSecond = 0, CopyFirst = 0, CopySecond = 0;

void WriteFields(PVOID)
{
    WaitUntil10Ms();
    EnterFieldRegion(&Fields);
    PlainFirst = 1;
    (void)KeGetCurrentIrql();
    PlainSecond = 1;
    LeaveFieldRegion(&Fields);
}

void CopyFields(PVOID)
{
    WaitUntil10Ms();
    EnterFieldRegion(&Fields);
    CopyFirst = PlainFirst;
    (void)KeGetCurrentIrql();
    CopySecond = PlainSecond;
    LeaveFieldRegion(&Fields);
}

using FinalState = std::function<std::string(const sim::ScheduleOptions &, sim::ScheduleRecord &)>;

std::string RunMixed(const sim::ScheduleOptions &options, sim::ScheduleRecord &record)
{
    sim::Reset();
    for (Shared<ULONG> *word : {&X, &Y, &Z})
        word->Store(0);
    record = ExploreTwo(options, StoreXLoadY, StoreYLoadX);
    EXPECT_TRUE(sim::Shutdown().empty());
    return std::to_string(SeenByA) + "," + std::to_string(SeenByB) + "," + std::to_string(Z.Load());
}

std::string RunRegion(const sim::ScheduleOptions &options, sim::ScheduleRecord &record)
{
    sim::Reset();
    PlainFirst = PlainSecond = CopyFirst = CopySecond = 0;
    record = ExploreTwo(options, WriteFields, CopyFields);
    EXPECT_TRUE(sim::Shutdown().empty());
    return std::to_string(CopyFirst) + "," + std::to_string(CopySecond);
}

std::string RunTwoIncrements(const sim::ScheduleOptions &options, sim::ScheduleRecord &record)
{
    Result result = RunIncrements(options);
    record = result.Record;
    return std::to_string(result.Count);
}

// Every schedule (no bound on the departures), and the final states.
std::set<std::string> EveryFinalState(const FinalState &run, uint64_t &runs)
{
    sim::BoundedSchedules every(1000);
    std::set<std::string> states;
    std::vector<sim::Switch> switches;
    while (every.Next(switches) && runs < 200000) {
        sim::ScheduleOptions options;
        options.Switches = switches;
        options.RecordDecisions = true;
        sim::ScheduleRecord record;
        states.insert(run(options, record));
        every.Record(record);
        ++runs;
    }
    return states;
}

std::set<std::string> ReducedFinalStates(const FinalState &run, unsigned bound,
                                         sim::PartialOrderSearch *&last)
{
    static sim::PartialOrderSearch search;
    search = sim::PartialOrderSearch(bound);
    last = &search;
    std::set<std::string> states;
    sim::ScheduleOptions options;
    while (search.Next(options) && search.Runs() < 200000) {
        sim::ScheduleRecord record;
        std::string state = run(options, record);
        EXPECT_FALSE(record.Diverged);
        if (!record.SleepBlocked)
            states.insert(state);
        search.Record(record);
    }
    return states;
}

TEST(Explorer, ThePartialOrderSearchReachesEveryFinalStateOfTheFullEnumeration)
{
    struct Program {
        const char *Name;
        FinalState Run;
        size_t States; // distinct final states of every schedule
    };
    const Program programs[] = {{"two increments", RunTwoIncrements, 2},
                                {"store buffering", RunMixed, 3},
                                {"plain fields in a region", RunRegion, 4}};
    for (const Program &program : programs) {
        uint64_t full = 0;
        std::set<std::string> every = EveryFinalState(program.Run, full);
        sim::PartialOrderSearch *search = nullptr;
        std::set<std::string> reduced =
            ReducedFinalStates(program.Run, sim::PartialOrderSearch::Unbounded, search);
        EXPECT_EQ(reduced, every) << program.Name;
        EXPECT_EQ(every.size(), program.States) << program.Name;
        EXPECT_LT(search->Runs() * 4, full)
            << program.Name << ": " << search->Runs() << " of " << full;
        // Under a bound: a subset, and still both outcomes of the races.
        std::set<std::string> bounded = ReducedFinalStates(program.Run, 2, search);
        EXPECT_TRUE(std::includes(every.begin(), every.end(), bounded.begin(), bounded.end()))
            << program.Name;
        EXPECT_GT(bounded.size(), 1u) << program.Name;
    }
}

TEST(Explorer, StepsConflictOnOneAddressWithAWriteOrOnOneKernelObject)
{
    int a = 0;
    int b = 0;
    unsigned char reply[4] = {};
    const sim::Access load{&a, 0}, store{&a, 1}, update{&a, 2}, other{&b, 1};
    const sim::Access kernel{}, eventA{&a, sim::KernelStep}, eventB{&b, sim::KernelStep};
    const sim::Access own{nullptr, sim::ThreadStep};
    const sim::Access readA{&a, sim::KernelRead}, readB{&b, sim::KernelRead};
    // A completion: the requests (b), the event a, and reply[1..2] written.
    const sim::Access completes{&b, sim::KernelStep, &a, &reply[1], 2};
    const sim::Access replyLoad{&reply[2], 0}, besideLoad{&reply[0], 0}, after{&reply[3], 0};
    // Steps in a region of the fields that b stands for.
    const sim::Access inRegion{nullptr, sim::ThreadStep, nullptr, nullptr, 0, &b};
    const sim::Access eventInRegion{&a, sim::KernelStep, nullptr, nullptr, 0, &b};
    const struct {
        sim::Access First, Second;
        bool Conflict;
    } pairs[] = {
        {load, load, false},
        {load, store, true},
        {update, load, true},
        {store, update, true},
        {store, other, false},
        {kernel, kernel, true},
        {kernel, eventA, true},
        {eventA, eventA, true},
        {eventA, eventB, false},
        {kernel, store, false},
        {eventA, store, false},
        {own, kernel, false},
        {own, own, false},
        {own, store, false},
        {readA, readA, false},
        {readA, eventA, true},
        {readA, kernel, true},
        {readA, readB, false},
        {completes, eventA, true},
        {completes, readB, true},
        {completes, replyLoad, true},
        {completes, besideLoad, false},
        {completes, after, false},
        {completes, completes, true},
        {completes, kernel, true},
        {completes, own, false},
        {completes, load, false},
        {inRegion, inRegion, true},
        {inRegion, eventInRegion, true},
        {inRegion, own, false},
        {inRegion, other, true},
        {inRegion, kernel, false},
        {eventInRegion, eventA, true},
        {eventInRegion, load, false},
    };
    for (const auto &pair : pairs) {
        EXPECT_EQ(sim::Conflict(pair.First, pair.Second), pair.Conflict)
            << &pair - pairs << ": " << pair.First.Kind << " " << pair.Second.Kind;
        EXPECT_EQ(sim::Conflict(pair.Second, pair.First), pair.Conflict) << &pair - pairs;
    }
}

TEST(Explorer, SchedulesReadBackAsWritten)
{
    std::vector<sim::Switch> switches = {{3, 2}, {17, 1}, {40, 3}};
    EXPECT_EQ(sim::ScheduleText(switches), "3:2 17:1 40:3");
    EXPECT_EQ(*sim::ParseSchedule("3:2 17:1 40:3"), switches);
    EXPECT_FALSE(sim::ParseSchedule("3:2 2:1"));
    EXPECT_FALSE(sim::ParseSchedule("3-2"));
}

} // namespace
