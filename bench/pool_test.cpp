// A monitor turn allocates nothing but the key-path copies of its registry
// calls, one per call, and frees them: an hour of virtual time in each steady
// state, accounted with the simulated kernel's pool statistics.
// (kvr_pool_report runs the same accounting over a day.)

#include "system.h"

#include <gtest/gtest.h>

#include "driver/state/state.h"

namespace
{

using namespace kvrbench;

constexpr uint64_t HourMs = 3600 * 1000;

// An hour of turns in one steady state: one wait a turn, every registry call
// with its own path copy and nothing else from pool, no finding.
void ExpectAnHourOfPathCopiesOnly(TurnMode Mode)
{
    ASSERT_TRUE(StartSystem(Mode)) << TurnModeName(Mode);
    TurnAccount A = RunTurns(HourMs);

    EXPECT_EQ(A.Turns, HourMs / TurnPeriodMs(Mode));
    EXPECT_EQ(CheckOnlyPathCopies(A), "");
    // Every turn with a frame publishes DeviceInfo and DeviceStatus; without
    // one, nothing is written once the first publication has succeeded.
    EXPECT_EQ(A.RegistryCalls, Mode == TurnMode::Detached ? 0 : 2 * A.Turns);
    for (const sim::Violation &V : StopSystem())
        ADD_FAILURE() << "verifier: " << V.Text;
}

TEST(TurnPool, DetachedTurnsAllocateNothing)
{
    ExpectAnHourOfPathCopiesOnly(TurnMode::Detached);
}

TEST(TurnPool, ModeTwoTurnsAllocateOnlyPathCopies)
{
    ExpectAnHourOfPathCopiesOnly(TurnMode::Setup);
}

TEST(TurnPool, PanelRefreshTurnsAllocateOnlyPathCopies)
{
    ExpectAnHourOfPathCopiesOnly(TurnMode::PanelRefresh);
}

TEST(TurnPool, InputPollingTurnsAllocateOnlyPathCopies)
{
    ExpectAnHourOfPathCopiesOnly(TurnMode::InputPolling);
}

TEST(TurnPool, InputPendingTurnsAllocateOnlyPathCopies)
{
    ExpectAnHourOfPathCopiesOnly(TurnMode::InputPending);
}

TurnAccount::Tag PathCopies(uint64_t Allocations)
{
    return {sim::Tag("sger"), Allocations, 0, 0, 0, 0};
}

TEST(PoolCheck, FlagsAnyOtherAllocationAndAnyGrowth)
{
    TurnAccount Clean;
    Clean.RegistryCalls = 4;
    Clean.Tags = {PathCopies(4), {sim::Tag("ffub"), 0, 1, 1, 200, 200}};
    EXPECT_EQ(CheckOnlyPathCopies(Clean), "");

    TurnAccount OtherTag = Clean;
    OtherTag.Tags.push_back({sim::Tag("Ddk "), 1, 0, 0, 0, 0});
    EXPECT_NE(CheckOnlyPathCopies(OtherTag).find("'Ddk '"), std::string::npos);

    TurnAccount ExtraCopy = Clean;
    ExtraCopy.Tags[0].Allocations = 5;
    EXPECT_NE(CheckOnlyPathCopies(ExtraCopy).find("5 allocations, expected 4"), std::string::npos);

    TurnAccount Leak = Clean;
    Leak.Tags[0].OutstandingAfter = 1;
    Leak.Tags[0].BytesAfter = 96;
    EXPECT_NE(CheckOnlyPathCopies(Leak).find("outstanding"), std::string::npos);
}

} // namespace
