// The interleaving explorer's choices: which thread runs at each decision
// point, by strategy, and the record that reproduces a run. The switching
// itself is the scheduler's (kernel/scheduler.cpp); the partial-order
// search that picks the reduced strategy's prefixes is in search.cpp.

#include "explore/explore.h"

#include <algorithm>
#include <cstdlib>

#include "record.h"

// Read by the driver's shared accesses in the host build (kvr_shared.h).
extern "C" {
int KvrSwitchPointsOn = 0;
}

namespace sim::detail
{

namespace
{

// Loads of one word in a row after which a thread counts as spinning.
constexpr unsigned SpinLoads = 8;

struct Explorer {
    bool On = false;
    ScheduleOptions Opt;
    ScheduleRecord Record;
    uint64_t Random = 0;
    size_t NextReplay = 0;
    // Pct.
    std::vector<std::pair<uint32_t, uint64_t>> Priorities; // thread id, priority
    std::vector<uint64_t> DropPoints;                      // sorted
    uint64_t Drops = 0;
    // Spin detection.
    uint32_t SpinThread = 0;
    const volatile void *SpinAddress = nullptr;
    unsigned SpinCount = 0;
    // Steps: each thread's next step as announced at its switch point (a
    // kernel step when none is), and the decision point that chose the
    // thread about to be taken from the run queue.
    std::vector<std::pair<uint32_t, Access>> Pending;
    // The region of guarded fields each thread is in, if any.
    std::vector<std::pair<uint32_t, const volatile void *>> Regions;
    int64_t ChosenPoint = -1;
    // Reduced: the sleep set, from the prefix's last decision point on.
    std::vector<Asleep> Sleep;
    bool SleepOn = false;
    bool Blocked = false;
};

Explorer E;

uint64_t NextRandom()
{
    // splitmix64: the same sequence on every platform and library.
    uint64_t z = (E.Random += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t &PriorityOf(uint32_t thread)
{
    for (auto &entry : E.Priorities)
        if (entry.first == thread)
            return entry.second;
    // Above every dropped priority (those count up from 0).
    E.Priorities.emplace_back(thread, E.Opt.PctDepth + (NextRandom() >> 2));
    return E.Priorities.back().second;
}

size_t Highest(const std::vector<Thread *> &options)
{
    size_t best = 0;
    for (size_t i = 1; i < options.size(); ++i)
        if (PriorityOf(options[i]->Id) > PriorityOf(options[best]->Id))
            best = i;
    return best;
}

const volatile void *&RegionOf(uint32_t thread)
{
    for (auto &entry : E.Regions)
        if (entry.first == thread)
            return entry.second;
    E.Regions.emplace_back(thread, nullptr);
    return E.Regions.back().second;
}

Access &PendingOf(uint32_t thread)
{
    for (auto &entry : E.Pending)
        if (entry.first == thread)
            return entry.second;
    E.Pending.emplace_back(thread, Access{});
    return E.Pending.back().second;
}

bool IsAsleep(uint32_t thread)
{
    return std::any_of(E.Sleep.begin(), E.Sleep.end(),
                       [&](const Asleep &entry) { return entry.Thread == thread; });
}

// The thread begins its next step. A thread asleep that must run blocks the
// run; any other step wakes the sleepers it conflicts with.
void StartStep(uint32_t thread, int64_t point)
{
    // After a wait the thread goes on where it waited: the same step's object.
    Access what = PendingOf(thread);
    if (E.SleepOn && !E.Blocked) {
        if (IsAsleep(thread)) {
            E.Blocked = true;
            E.Record.SleepBlocked = true;
        } else {
            std::erase_if(E.Sleep, [&](const Asleep &entry) { return Conflict(entry.Next, what); });
        }
    }
    if (E.Opt.RecordSteps && !E.Blocked)
        E.Record.Steps.push_back(Step{thread, what, CurrentTime(), point});
}

// Reduced: the prefix's thread, then the first one not asleep.
size_t ChooseReduced(const std::vector<Thread *> &options, uint64_t point)
{
    const std::vector<uint32_t> &prefix = E.Opt.Prefix;
    if (point < prefix.size()) {
        if (point + 1 == prefix.size()) {
            // Each sleeper's next step as this run names it: an object of
            // the kernel may lie at another address than in the run that
            // put the thread to sleep (a fresh kernel record each run).
            E.Sleep = E.Opt.Sleep;
            for (Asleep &entry : E.Sleep)
                entry.Next = PendingOf(entry.Thread);
            E.SleepOn = true;
        }
        for (size_t i = 0; i < options.size(); ++i)
            if (options[i]->Id == prefix[point])
                return i;
        E.Record.Diverged = true;
        return 0;
    }
    for (size_t i = 0; i < options.size(); ++i)
        if (!IsAsleep(options[i]->Id))
            return i;
    E.Blocked = true;
    E.Record.SleepBlocked = true;
    return 0;
}

// One decision among options (options[0] is the default order's choice).
// runningFirst: options[0] is the thread that is running now.
size_t Choose(const std::vector<Thread *> &options, bool runningFirst)
{
    uint64_t point = E.Record.Points++;
    bool record = E.Opt.RecordDecisions && !E.Blocked;
    Decision decision;
    if (record) {
        for (Thread *thread : options) {
            decision.Threads.push_back(thread->Id);
            decision.Next.push_back(PendingOf(thread->Id));
        }
        decision.Sleep = E.Sleep;
    }
    size_t choice = 0;
    switch (E.Opt.Kind) {
    case Strategy::Reduced:
        choice = ChooseReduced(options, point);
        break;
    case Strategy::Replay: {
        const std::vector<Switch> &list = E.Opt.Switches;
        while (E.NextReplay < list.size() && list[E.NextReplay].Point < point)
            E.NextReplay++;
        if (E.NextReplay < list.size() && list[E.NextReplay].Point == point) {
            for (size_t i = 0; i < options.size(); ++i)
                if (options[i]->Id == list[E.NextReplay].Thread)
                    choice = i;
            E.NextReplay++;
        }
        break;
    }
    case Strategy::RandomWalk:
        choice = (size_t)(NextRandom() % options.size());
        break;
    case Strategy::Pct:
        if (std::binary_search(E.DropPoints.begin(), E.DropPoints.end(), point)) {
            size_t running = runningFirst ? 0 : Highest(options);
            PriorityOf(options[running]->Id) = E.Drops++;
        }
        choice = Highest(options);
        break;
    }
    if (record && !E.Blocked) {
        decision.Chosen = options[choice]->Id;
        E.Record.Decisions.push_back(std::move(decision));
    }
    if (choice != 0)
        E.Record.Switches.push_back(Switch{point, options[choice]->Id});
    E.ChosenPoint = (int64_t)point;
    return choice;
}

} // namespace

bool ExplorerOn()
{
    return E.On;
}

Thread *ExplorerAtSwitchPoint(Thread *self, const std::deque<Thread *> &runnable,
                              const Access &what)
{
    if (what.Kind == RegionLeave) {
        RegionOf(self->Id) = nullptr;
        return nullptr;
    }
    Access step = what;
    if (what.Kind == RegionEnter) {
        // Entering writes the fields; so does every step until the leave.
        RegionOf(self->Id) = what.Address;
        step = Access{what.Address, 2};
    }
    step.Region = RegionOf(self->Id);
    const volatile void *address = step.Address;
    int kind = step.Kind;
    E.Record.SwitchPoints++;
    if (kind == 0 && address && self->Id == E.SpinThread && address == E.SpinAddress) {
        E.SpinCount++;
    } else {
        E.SpinThread = self->Id;
        E.SpinAddress = kind == 0 ? address : nullptr;
        E.SpinCount = kind == 0 ? 1 : 0;
    }
    PendingOf(self->Id) = step;
    if (runnable.empty()) {
        StartStep(self->Id, -1);
        return nullptr;
    }
    if (E.SpinCount >= SpinLoads) {
        // Spinning: the next runnable thread goes first, whatever the strategy.
        E.SpinCount = 0;
        E.ChosenPoint = -1;
        return runnable.front();
    }
    std::vector<Thread *> options;
    options.reserve(runnable.size() + 1);
    options.push_back(self);
    options.insert(options.end(), runnable.begin(), runnable.end());
    size_t choice = Choose(options, true);
    if (choice != 0)
        return options[choice];
    StartStep(self->Id, E.ChosenPoint);
    E.ChosenPoint = -1;
    return nullptr;
}

void ExplorerTaken(Thread *thread)
{
    StartStep(thread->Id, E.ChosenPoint);
    E.ChosenPoint = -1;
}

void ExplorerThreadCreated(Thread *thread)
{
    PendingOf(thread->Id) = Access{nullptr, ThreadStep};
}

size_t ExplorerPickRunnable(const std::deque<Thread *> &runnable)
{
    std::vector<Thread *> options(runnable.begin(), runnable.end());
    return Choose(options, false);
}

} // namespace sim::detail

using namespace sim::detail;

namespace sim
{

void BeginExploring(const ScheduleOptions &options)
{
    EnsureKernel();
    E = Explorer{};
    E.On = !K->FreeRunning;
    E.Opt = options;
    E.Random = options.Seed;
    E.SleepOn = options.Kind == Strategy::Reduced && options.Prefix.empty();
    if (options.Kind == Strategy::Pct && options.PctDepth > 1) {
        uint64_t span = options.PctPoints ? options.PctPoints : 1;
        while (E.DropPoints.size() < options.PctDepth - 1) {
            uint64_t point = NextRandom() % span;
            if (std::find(E.DropPoints.begin(), E.DropPoints.end(), point) == E.DropPoints.end())
                E.DropPoints.push_back(point);
            if (E.DropPoints.size() >= span)
                break;
        }
        std::sort(E.DropPoints.begin(), E.DropPoints.end());
    }
    __atomic_store_n(&KvrSwitchPointsOn, E.On ? 1 : 0, __ATOMIC_RELAXED);
}

ScheduleRecord EndExploring()
{
    __atomic_store_n(&KvrSwitchPointsOn, 0, __ATOMIC_RELAXED);
    E.On = false;
    ScheduleRecord record = std::move(E.Record);
    E = Explorer{};
    return record;
}

bool Exploring()
{
    return E.On;
}

std::string ScheduleText(const std::vector<Switch> &switches)
{
    std::string text;
    for (const Switch &one : switches) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(one.Point) + ':' + std::to_string(one.Thread);
    }
    return text;
}

std::optional<std::vector<Switch>> ParseSchedule(std::string_view text)
{
    std::vector<Switch> switches;
    size_t i = 0;
    auto number = [&](uint64_t &value) {
        size_t start = i;
        value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            value = value * 10 + (uint64_t)(text[i++] - '0');
        return i > start;
    };
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ',') {
            ++i;
            continue;
        }
        uint64_t point = 0;
        uint64_t thread = 0;
        if (!number(point) || i >= text.size() || text[i++] != ':' || !number(thread))
            return std::nullopt;
        if (!switches.empty() && point <= switches.back().Point)
            return std::nullopt;
        switches.push_back(Switch{point, (uint32_t)thread});
    }
    return switches;
}

const char *StrategyName(Strategy kind)
{
    switch (kind) {
    case Strategy::RandomWalk:
        return "random";
    case Strategy::Pct:
        return "pct";
    case Strategy::Replay:
        return "replay";
    case Strategy::Reduced:
        return "reduced";
    }
    return "?";
}

BoundedSchedules::BoundedSchedules(unsigned bound) : Bound(bound)
{
    Pending.push_back({});
}

bool BoundedSchedules::Next(std::vector<Switch> &switches)
{
    if (Pending.empty())
        return false;
    Current = std::move(Pending.back());
    Pending.pop_back();
    switches = Current;
    return true;
}

// The children of a schedule add one switch after its last one; pushed in
// reverse so that the earliest is run first.
void BoundedSchedules::Record(const ScheduleRecord &record)
{
    if (Current.size() >= Bound)
        return;
    uint64_t first = Current.empty() ? 0 : Current.back().Point + 1;
    for (uint64_t point = record.Decisions.size(); point-- > first;) {
        const std::vector<uint32_t> &threads = record.Decisions[point].Threads;
        for (size_t i = threads.size(); i-- > 1;) {
            std::vector<Switch> child = Current;
            child.push_back(Switch{point, threads[i]});
            Pending.push_back(std::move(child));
        }
    }
}

} // namespace sim
