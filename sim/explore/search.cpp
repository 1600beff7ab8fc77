// The partial-order search: the dependency relation between steps, and
// source-DPOR with sleep sets over the runs' records (explore.h): the
// search tree of decision points, the happens-before of each run and the
// races that add backtrack points.

#include "explore/explore.h"

#include <algorithm>
#include <unordered_map>

#include "record.h"

namespace sim
{

static_assert(KernelStep == detail::KernelCallPoint && ThreadStep == detail::ThreadCallPoint &&
                  KernelRead == detail::KernelReadPoint,
              "the steps are named by the kernel's switch points");

namespace
{

bool IsKernel(const Access &what)
{
    return what.Kind == KernelStep || what.Kind == KernelRead;
}

// A kernel step that names no object: any of the kernel's state.
bool AnyObject(const Access &what)
{
    return IsKernel(what) && !what.Address;
}

// What a step touches, one key at a time: the kernel's objects it names and
// the driver's bytes (or shared field) it reads or writes.
struct Touch {
    bool Kernel; // a kernel object, else an address of the driver
    uintptr_t Key;
    bool Writes;
};

template <typename Visit> void ForEachTouch(const Access &what, Visit visit)
{
    if (what.Region)
        visit(Touch{false, (uintptr_t)what.Region, true});
    if (what.Kind == ThreadStep || AnyObject(what))
        return;
    if (!IsKernel(what)) {
        visit(Touch{false, (uintptr_t)what.Address, what.Kind != 0});
        return;
    }
    bool writes = what.Kind == KernelStep;
    visit(Touch{true, (uintptr_t)what.Address, writes});
    if (what.Also && what.Also != what.Address)
        visit(Touch{true, (uintptr_t)what.Also, writes});
    for (uint32_t i = 0; i < what.WriteLength; ++i)
        visit(Touch{false, (uintptr_t)what.Writes + i, true});
}

} // namespace

bool Conflict(const Access &a, const Access &b)
{
    if ((a.Kind == ThreadStep && !a.Region) || (b.Kind == ThreadStep && !b.Region))
        return false;
    if ((AnyObject(a) && IsKernel(b)) || (AnyObject(b) && IsKernel(a)))
        return true;
    bool conflict = false;
    ForEachTouch(a, [&](const Touch &x) {
        ForEachTouch(b, [&](const Touch &y) {
            conflict =
                conflict || (x.Kernel == y.Kernel && x.Key == y.Key && (x.Writes || y.Writes));
        });
    });
    return conflict;
}

PartialOrderSearch::PartialOrderSearch(unsigned bound) : Bound(bound) {}

bool PartialOrderSearch::Next(ScheduleOptions &options)
{
    options = ScheduleOptions{};
    options.Kind = Strategy::Reduced;
    options.RecordDecisions = true;
    options.RecordSteps = true;
    if (!Started) {
        Started = true;
        Branch = 0;
        return true;
    }
    while (!Stack.empty()) {
        size_t n = Stack.size() - 1;
        Node &node = Stack[n];
        unsigned before = n ? Stack[n - 1].Departures : 0;
        for (uint32_t thread : node.Backtrack) {
            auto same = [&](const Asleep &entry) { return entry.Thread == thread; };
            bool departs = thread != node.Threads[0];
            if (std::count(node.Done.begin(), node.Done.end(), thread) ||
                std::any_of(node.Sleep.begin(), node.Sleep.end(), same) ||
                (departs && before + 1 > Bound))
                continue;
            options.Sleep = node.Sleep;
            for (uint32_t done : node.Done) {
                size_t at = (size_t)(std::find(node.Threads.begin(), node.Threads.end(), done) -
                                     node.Threads.begin());
                options.Sleep.push_back(Asleep{done, node.Next[at]});
            }
            node.Done.push_back(thread);
            node.Chosen = thread;
            node.Departures = before + (departs ? 1 : 0);
            for (const Node &on : Stack)
                options.Prefix.push_back(on.Chosen);
            Branch = n + 1;
            return true;
        }
        Stack.pop_back();
    }
    return false;
}

void PartialOrderSearch::Record(const ScheduleRecord &record)
{
    ++RunCount;
    if (record.SleepBlocked)
        ++BlockedCount;
    for (size_t k = Branch; k < record.Decisions.size(); ++k) {
        const Decision &decision = record.Decisions[k];
        unsigned before = k ? Stack[k - 1].Departures : 0;
        Node node{decision.Threads,
                  decision.Next,
                  decision.Chosen,
                  decision.Sleep,
                  {decision.Chosen},
                  {decision.Chosen},
                  before + (decision.Chosen != decision.Threads[0] ? 1u : 0u)};
        Stack.push_back(std::move(node));
    }
    AddRaces(record.Steps);
}

// Happens-before by vector clocks, one entry per thread: a step's clock
// counts the steps of each thread that precede it (its own included).
void PartialOrderSearch::AddRaces(const std::vector<Step> &steps)
{
    std::vector<uint32_t> ids;
    std::vector<size_t> thread(steps.size());
    for (size_t j = 0; j < steps.size(); ++j) {
        auto at = std::find(ids.begin(), ids.end(), steps[j].Thread);
        thread[j] = (size_t)(at - ids.begin());
        if (at == ids.end())
            ids.push_back(steps[j].Thread);
    }
    size_t count = ids.size();
    using Clock = std::vector<uint32_t>;
    auto join = [](Clock &into, const Clock &from) {
        for (size_t t = 0; t < into.size(); ++t)
            into[t] = std::max(into[t], from[t]);
    };
    std::vector<Clock> clock(steps.size(), Clock(count, 0));
    std::vector<uint32_t> local(steps.size());
    std::vector<uint32_t> stepsOf(count, 0);
    std::vector<int64_t> last(count, -1);
    struct Seen {
        std::vector<int64_t> Read, Write; // the last of each thread
    };
    // Shared accesses by address; kernel steps by object; the last kernel
    // step of each thread on whatever object, and the last of each that
    // named none.
    std::unordered_map<uintptr_t, Seen> seen, objects;
    std::vector<int64_t> anyKernel(count, -1), anyObject(count, -1);
    auto lastOf = [&](const Touch &touch) -> Seen & {
        Seen &s = (touch.Kernel ? objects : seen)[touch.Key];
        s.Read.resize(count, -1);
        s.Write.resize(count, -1);
        return s;
    };
    Clock barrier(count, 0), all(count, 0);
    int64_t time = steps.empty() ? 0 : steps[0].Time;
    std::vector<std::pair<size_t, size_t>> races;
    std::vector<int64_t> latest(count);
    for (size_t j = 0; j < steps.size(); ++j) {
        size_t t = thread[j];
        local[j] = ++stepsOf[t];
        if (steps[j].Time != time) {
            // The clock moved on: every step so far precedes this one.
            barrier = all;
            time = steps[j].Time;
        }
        Clock base = last[t] >= 0 ? clock[(size_t)last[t]] : Clock(count, 0);
        join(base, barrier);
        const Access &what = steps[j].What;
        // The last step of each other thread that this one conflicts with.
        std::fill(latest.begin(), latest.end(), -1);
        auto note = [&](const std::vector<int64_t> &from) {
            for (size_t q = 0; q < count; ++q)
                latest[q] = std::max(latest[q], from[q]);
        };
        if (AnyObject(what))
            note(anyKernel);
        else if (IsKernel(what))
            note(anyObject);
        ForEachTouch(what, [&](const Touch &touch) {
            Seen &s = lastOf(touch);
            note(s.Write);
            if (touch.Writes)
                note(s.Read);
        });
        std::vector<size_t> conflicting;
        for (size_t q = 0; q < count; ++q)
            if (q != t && latest[q] >= 0)
                conflicting.push_back((size_t)latest[q]);
        Clock mine = base;
        for (size_t c : conflicting)
            join(mine, clock[c]);
        for (size_t c : conflicting) {
            // A race unless another step already orders c before j.
            bool ordered = base[thread[c]] >= local[c];
            for (size_t other : conflicting)
                ordered = ordered || (other != c && clock[other][thread[c]] >= local[c]);
            if (!ordered)
                races.emplace_back(c, j);
        }
        mine[t] = local[j];
        clock[j] = std::move(mine);
        join(all, clock[j]);
        ForEachTouch(what, [&](const Touch &touch) {
            Seen &s = lastOf(touch);
            (touch.Writes ? s.Write : s.Read)[t] = (int64_t)j;
        });
        if (IsKernel(what))
            anyKernel[t] = (int64_t)j;
        if (AnyObject(what))
            anyObject[t] = (int64_t)j;
        last[t] = (int64_t)j;
    }
    for (auto [i, j] : races) {
        if (steps[i].Point < 0 || (size_t)steps[i].Point >= Stack.size())
            continue; // no other thread could run there
        // The initials of the steps after i not ordered after it, then j.
        std::vector<uint32_t> first(count, 0);
        std::vector<uint32_t> initials;
        size_t ti = thread[i];
        for (size_t s = i + 1; s <= j; ++s) {
            size_t ts = thread[s];
            if ((s != j && clock[s][ti] >= local[i]) || first[ts])
                continue;
            bool initial = true;
            for (size_t u = 0; u < count; ++u)
                initial = initial && (u == ts || !first[u] || clock[s][u] < first[u]);
            first[ts] = local[s];
            if (initial)
                initials.push_back(ids[ts]);
        }
        AddBacktrack((size_t)steps[i].Point, initials);
    }
}

void PartialOrderSearch::AddBacktrack(size_t at, const std::vector<uint32_t> &initials)
{
    Node &node = Stack[at];
    auto has = [](const std::vector<uint32_t> &set, uint32_t thread) {
        return std::find(set.begin(), set.end(), thread) != set.end();
    };
    for (uint32_t thread : initials)
        if (has(node.Backtrack, thread))
            return;
    std::vector<uint32_t> candidates;
    for (uint32_t thread : initials)
        if (has(node.Threads, thread))
            candidates.push_back(thread);
    if (candidates.empty()) {
        // None of them can run here: every thread that can.
        for (uint32_t thread : node.Threads)
            if (!has(node.Backtrack, thread))
                node.Backtrack.push_back(thread);
        return;
    }
    // The default order's thread costs no departure; prefer it.
    uint32_t pick = has(candidates, node.Threads[0]) ? node.Threads[0] : candidates[0];
    node.Backtrack.push_back(pick);
}

} // namespace sim
