// The interleaving explorer on small programs of its own: a lost update that
// only some interleavings show, the reproduction of a run from its seed and
// from its schedule, the bounded enumeration, and a spin that must end.

#include "sim.h"
#include "explore.h"

#include <gtest/gtest.h>

#include <set>

#include "../driver/platform/kvr_shared.h"

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

Result RunIncrements(const sim::ScheduleOptions &options)
{
    sim::Reset();
    Counter.Store(0);
    Finished = 0;
    sim::BeginExploring(options);
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Increment, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Increment, nullptr),
              STATUS_SUCCESS);
    sim::Advance(20);
    Result result{Counter.Load(), sim::EndExploring()};
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

TEST(Explorer, SchedulesReadBackAsWritten)
{
    std::vector<sim::Switch> switches = {{3, 2}, {17, 1}, {40, 3}};
    EXPECT_EQ(sim::ScheduleText(switches), "3:2 17:1 40:3");
    EXPECT_EQ(*sim::ParseSchedule("3:2 17:1 40:3"), switches);
    EXPECT_FALSE(sim::ParseSchedule("3:2 2:1"));
    EXPECT_FALSE(sim::ParseSchedule("3-2"));
}

} // namespace
