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
//    longest-waiting runnable thread runs) except at the listed switches;
//  - Reduced: one step of a partial-order search (PartialOrderSearch): a
//    given thread at each decision point of a prefix, then the first thread
//    whose next step is not asleep.
//
// Every run reports the switches by which it left the default order; those
// alone reproduce it (Replay), and so does its strategy with its seed.
// BoundedSchedules enumerates every schedule with at most a given number of
// such switches, depth first, for small cases. PartialOrderSearch runs one
// schedule per class of equivalent interleavings instead (below).
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

enum class Strategy { RandomWalk, Pct, Replay, Reduced };

// At decision point Point, run thread Thread (ThreadInfo::Id).
struct Switch {
    uint64_t Point;
    uint32_t Thread;
    bool operator==(const Switch &) const = default;
};

// What a step of a thread touches: a step runs from one switch point of its
// thread to the next, and is named at the first. Kind is that of
// kvr_shared.h (0 load, 1 store, 2 update) for a shared access of the driver
// at Address; KernelStep, KernelRead or ThreadStep otherwise.
//
// A kernel step is a kernel routine, a return into the kernel from a call
// into the driver, or the harness's own code. It names the objects of the
// simulated kernel it touches (Address and Also: an event, a mutex, the pool,
// the registry, the I/O manager's requests, the adapter, the plug-and-play
// manager), or none (Address null): then it may touch any of the kernel's
// state. A KernelRead step only reads its objects. The continuation after a
// wait is a step on what the thread waited for. Memory of the driver that a
// kernel step writes on another context's behalf (a completed request's
// reply) is named too (Writes, WriteLength bytes); the driver reads such
// memory one byte at a time (Shared<UCHAR>, SharedCopyIn). Otherwise the
// simulated kernel never touches the driver's shared fields, and the driver
// touches the kernel's state only through its routines.
//
// A thread step touches the calling thread's own state only (its IRQL, its
// own delay, its start).
//
// Between RegionEnter and RegionLeave (kvr_shared.h's EnterFieldRegion and
// LeaveFieldRegion) a thread touches plain fields of the driver that one
// lock guards: each of its steps there also writes Region, the address that
// stands for those fields.
constexpr int KernelStep = 3;
constexpr int ThreadStep = 4;
constexpr int KernelRead = 5;
constexpr int RegionEnter = 6;
constexpr int RegionLeave = 7;
struct Access {
    const volatile void *Address = nullptr;
    int Kind = KernelStep;
    const volatile void *Also = nullptr;
    const volatile void *Writes = nullptr;
    uint32_t WriteLength = 0;
    const volatile void *Region = nullptr;
    bool operator==(const Access &) const = default;
};

// Two steps conflict (their order may matter) when both are kernel steps on
// one object, not both reading it, or one of them names no object; or both
// touch the same address of the driver (a kernel step: a byte it writes; a
// step in a region: its fields) and at least one writes. A thread step
// outside a region conflicts with none.
bool Conflict(const Access &a, const Access &b);

// A thread whose next step need not run: an order with it first was explored.
struct Asleep {
    uint32_t Thread;
    Access Next;
    bool operator==(const Asleep &) const = default;
};

struct ScheduleOptions {
    Strategy Kind = Strategy::Replay;
    uint64_t Seed = 0;
    unsigned PctDepth = 3;        // Pct: one more than the number of priority drops
    uint64_t PctPoints = 1000;    // Pct: the decision points a run is expected to meet
    std::vector<Switch> Switches; // Replay: in increasing order of Point
    bool RecordDecisions = false; // keep every decision point's choices (for BoundedSchedules)
    // Reduced: the thread to run at each of the first decision points; the
    // sleep set at the last of them (before its choice); with RecordSteps.
    std::vector<uint32_t> Prefix;
    std::vector<Asleep> Sleep;
    bool RecordSteps = false; // keep every step (for PartialOrderSearch)
};

// A decision point: the thread the default order runs first, then the others,
// and (with RecordSteps) each one's next step, the thread chosen and the
// sleep set met there.
struct Decision {
    std::vector<uint32_t> Threads;
    std::vector<Access> Next;
    uint32_t Chosen = 0;
    std::vector<Asleep> Sleep;
};

// One step of a run (RecordSteps): its thread, what it touched first, the
// virtual time, and the decision point that chose it (-1: no other thread
// could run).
struct Step {
    uint32_t Thread;
    Access What;
    int64_t Time;
    int64_t Point;
};

struct ScheduleRecord {
    uint64_t Points = 0;             // decision points met
    uint64_t SwitchPoints = 0;       // switch points passed in simulated threads
    std::vector<Switch> Switches;    // departures from the default order
    std::vector<Decision> Decisions; // with RecordDecisions
    std::vector<Step> Steps;         // with RecordSteps
    // Reduced: the run met a point where every thread that could run was
    // asleep; its steps from there on are recorded no further.
    bool SleepBlocked = false;
    bool Diverged = false; // Reduced: a prefix thread could not run where listed
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

// Dynamic partial-order reduction with sleep sets: source-DPOR, Algorithm 1
// of P. Abdulla, S. Aronis, B. Jonsson, K. Sagonas, "Optimal dynamic
// partial order reduction", POPL 2014, and "Source sets: a foundation for
// optimal dynamic partial order reduction", JACM 64(4), 2017. Runs are
// stateless: each one replays a prefix of choices from a fresh start.
//
// After each run the steps are ordered by happens-before (the thread's own
// order, conflicting steps in the order they ran, and virtual time: the
// kernel advances its clock only once no thread can run, so a step at an
// earlier instant precedes every later one). For every race, two
// conflicting steps of different threads with no other step ordering them,
// the decision point before the first gets, unless it already has one, a
// thread that can begin the steps of the run not ordered after the first
// (its initials) followed by the second: the order that reverses the race.
// The search backtracks to the deepest decision point with such a thread not
// yet explored there and not asleep. The sleep set keeps, at each point, the
// threads already explored there whose next step conflicts with nothing
// that ran since; a run that meets only sleeping threads is redundant.
//
// Without a bound every class of equivalent interleavings (Mazurkiewicz
// trace) is explored at least once, so a property of the final state that
// holds on every run holds on every interleaving. With a bound, only the
// choices within Bound departures from the default order are taken: the
// search then covers a subset of the bounded schedules, one per trace it
// reaches (a reversal that would need more departures is dropped).
class PartialOrderSearch
{
  public:
    static constexpr unsigned Unbounded = ~0u;
    explicit PartialOrderSearch(unsigned bound = Unbounded);
    // The options of the next run (Kind, Prefix, Sleep, Record*); false
    // once the search is complete.
    bool Next(ScheduleOptions &options);
    void Record(const ScheduleRecord &record);
    uint64_t Runs() const { return RunCount; }
    uint64_t Blocked() const { return BlockedCount; } // runs cut by sleep sets
    uint64_t Traces() const { return RunCount - BlockedCount; }

  private:
    struct Node {
        std::vector<uint32_t> Threads; // the options, default first
        std::vector<Access> Next;
        uint32_t Chosen;
        std::vector<Asleep> Sleep;
        std::vector<uint32_t> Done;
        std::vector<uint32_t> Backtrack;
        unsigned Departures; // from the default order, this node's choice included
    };
    void AddRaces(const std::vector<Step> &steps);
    void AddBacktrack(size_t node, const std::vector<uint32_t> &initials);
    unsigned Bound;
    std::vector<Node> Stack;
    size_t Branch = 0; // the node the current run branched at (its prefix's last)
    bool Started = false;
    uint64_t RunCount = 0;
    uint64_t BlockedCount = 0;
};

} // namespace sim

#endif // KVR_SIM_EXPLORE_H
