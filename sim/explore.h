// The interleaving explorer: deterministic mode with chosen context switches.
//
// In deterministic mode a simulated thread runs until it waits. While an
// exploration is on, a thread may also lose the processor at a switch point:
// just before every shared access of the driver (Shared<T> and the byte-wise
// copies, driver/platform/kvr_shared.h) and at the entry of every kernel
// routine (locks, waits, requests, registry, run-time library). Wherever more
// than one thread could run next is a decision point; a strategy chooses
// there, from a seed:
//
//  - RandomWalk: any of the threads that could run, with equal chances;
//  - Pct: every thread gets a random priority and the highest that can run
//    runs; at PctDepth - 1 decision points drawn at random the running
//    thread drops below every other (priority-based with a few forced
//    switches);
//  - Replay: the default order (the running thread goes on; after a wait the
//    longest-waiting runnable thread runs) except at the listed switches.
//
// Every run reports the switches by which it left the default order; those
// alone reproduce it (Replay), and so does its strategy with its seed.
// BoundedSchedules enumerates every schedule with at most a given number of
// such switches, depth first, for small cases.
//
// Interleavings are explored under sequential consistency: each access is
// whole and in program order. Reorderings that relaxed accesses allow on a
// real processor are ThreadSanitizer's and the stress test's to find.
//
// A thread that loads the same word again and again at its switch points is
// spinning: after a few loads it yields to the next runnable thread, so a
// spin never runs for ever under a strategy that would keep it running.

#ifndef KVR_SIM_EXPLORE_H
#define KVR_SIM_EXPLORE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim
{

enum class Strategy { RandomWalk, Pct, Replay };

// At decision point Point, run thread Thread (ThreadInfo::Id).
struct Switch {
    uint64_t Point;
    uint32_t Thread;
    bool operator==(const Switch &) const = default;
};

struct ScheduleOptions {
    Strategy Kind = Strategy::Replay;
    uint64_t Seed = 0;
    unsigned PctDepth = 3;        // Pct: one more than the number of priority drops
    uint64_t PctPoints = 1000;    // Pct: the decision points a run is expected to meet
    std::vector<Switch> Switches; // Replay: in increasing order of Point
    bool RecordDecisions = false; // keep every decision point's choices (for BoundedSchedules)
};

// A decision point: the thread the default order runs first, then the others.
struct Decision {
    std::vector<uint32_t> Threads;
};

struct ScheduleRecord {
    uint64_t Points = 0;             // decision points met
    uint64_t SwitchPoints = 0;       // switch points passed in simulated threads
    std::vector<Switch> Switches;    // departures from the default order
    std::vector<Decision> Decisions; // with RecordDecisions
};

// Starts choosing at the switch points of the current kernel (after Reset;
// deterministic mode only). Threads that exist already take part.
void BeginExploring(const ScheduleOptions &options);
// Stops choosing; the default order applies again. Returns what the run met.
ScheduleRecord EndExploring();
bool Exploring();

// "12:3 40:2" (point:thread, in order); ParseSchedule reads it back.
std::string ScheduleText(const std::vector<Switch> &switches);
std::optional<std::vector<Switch>> ParseSchedule(std::string_view text);
const char *StrategyName(Strategy kind);

// Every schedule that departs from the default order at most Bound times,
// depth first: Next gives the switches of the next schedule to run (as
// Replay), Record takes what that run met.
class BoundedSchedules
{
  public:
    explicit BoundedSchedules(unsigned bound);
    bool Next(std::vector<Switch> &switches);
    void Record(const ScheduleRecord &record);

  private:
    unsigned Bound;
    std::vector<std::vector<Switch>> Pending;
    std::vector<Switch> Current;
};

} // namespace sim

#endif // KVR_SIM_EXPLORE_H
