// kvr_explore: the driver's concurrent contexts under the interleaving
// explorer, with the properties that must hold under every schedule.
//
// Each case loads the driver on a fresh simulated kernel, brings it to a
// starting state, and then lets its contexts run at the same virtual
// instants, each on a simulated thread of its own: the monitor thread,
// notifications, HwStartIO requests (one at a time, as the video port hands
// them over), HwSetPowerState and the sibling driver completing requests.
// The explorer chooses the interleaving (sim/explore.h). After the contexts
// have finished and everything has settled, the properties are checked:
//
//  - power-off:  every power-off given to HwSetPowerState is reported by a
//                QueryPowerOff that returns after it began, and while the
//                display stays off QueryPowerOff keeps reporting it;
//  - status:     the last DeviceStatus in the registry equals the record,
//                both at the end of the explored run (no later write left
//                to repair a stale one) and once settled;
//  - event:      every event the monitor handles carries the identifiers of
//                one notification; the last one posted belongs to one
//                notification of its kind, and WideModel agrees with its
//                product ID; it is handled once (the slot is empty at the
//                end, no arrival handled more often than notified);
//  - pair:       every DeviceStatus written carries SessionParam1 and
//                SessionParam2 as one StartExternalSession gave them;
//  - link:       the sibling's device is held once (one file object, one
//                registration on it) or let go of entirely, its REMOVE
//                sent; published: the link state and mode as expected;
//  - unload:     the image stays while the monitor thread lives;
//  - verifier:   the simulated kernel has no finding, teardown included
//                (a request to a removed device, code run after an unload,
//                a registration left on a closed file object).
//
// The cases are in cases_publication.cpp (power, status, events, session,
// startio) and cases_lifecycle.cpp (removal, orderly, refused, reopen,
// attach, unload); the contexts' actions and the checks in harness.cpp.
//
// Every case checks every property that its contexts exercise. The reduced
// strategy runs one schedule per class of equivalent interleavings
// (sim::PartialOrderSearch): every one of them, or those within --bound
// departures from the default order; --compare also runs the bounded
// enumeration at bound 2 and gives the ratio. A failure prints the
// strategy, the seed and the schedule; either reproduces it. With
// --timeline FILE the failing schedule is run once more and drawn as kvrsim
// draws a scenario (an SVG timeline), its failures in the verifier's lane.
//
// With --image FILE the cases run on the real image (kvrminiport.sys, its
// symbol file beside it) in place of the host build. The image's shared
// accesses are plain instructions, not switch points: there the explorer
// switches only where the image calls the kernel, so a case has fewer
// traces than on the host build, whose search covers every shared access.
//
//   kvr_explore [--case NAME|all]
//               [--strategy random|pct|bounded|reduced|all] [--schedules N] [--seed S]
//               [--bound B] [--pct-depth D] [--pct-points K] [--compare]
//               [--replay "POINT:THREAD ..."] [--timeline FILE] [--image FILE]
//               [--verbose]
//
// "all" runs the random walk, PCT and the reduced search.

#include "harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#ifndef KVR_EXPLORE_BUDGET
#define KVR_EXPLORE_BUDGET 500
#endif

using namespace explore;

namespace
{

const char *PicturePath = nullptr;
const char *ImagePath = nullptr; // --image: the real image in place of the host build

std::vector<Case> AllCases()
{
    std::vector<Case> cases = PublicationCases();
    for (const Case &c : LifecycleCases())
        cases.push_back(c);
    return cases;
}

// --- Running schedules ----------------------------------------------------------

struct Outcome {
    sim::ScheduleRecord Record;
    std::vector<std::string> Failures;
};

Outcome RunOne(const Case &c, const sim::ScheduleOptions &options)
{
    R = Run{};
    BootSystem(c.BeforeStart);
    c.Prepare();
    R.ExploreStart = sim::Now();
    sim::BeginExploring(options);
    c.Contexts();
    sim::AdvanceTo(c.EndMs);
    Outcome outcome;
    outcome.Record = sim::EndExploring();
    c.Settle();
    CheckVerifier();
    outcome.Failures = std::move(R.Failures);
    return outcome;
}

struct Settings {
    std::string CaseName = "all";
    std::string StrategyName = "all";
    uint64_t Schedules = KVR_EXPLORE_BUDGET; // per strategy
    uint64_t Seed = 1;
    std::optional<unsigned> Bound; // bounded: 2; reduced: none
    bool Compare = false;
    unsigned PctDepth = 3;
    uint64_t PctPoints = 0; // 0: the longest run seen so far
    std::optional<std::vector<sim::Switch>> Replay;
    bool Verbose = false;
};

// Runs the failing schedule again with every event drawn, and writes the
// picture: the events of the contexts, then each failure at the end.
void DrawFailure(const Case &c, const Outcome &failed)
{
    sim::ScheduleOptions replay;
    replay.Switches = failed.Record.Switches;
    kvrsim::Timeline picture(c.EndMs);
    Picture = &picture;
    Outcome again = RunOne(c, replay);
    Picture = nullptr;
    for (const std::string &failure : again.Failures)
        picture.Add(c.EndMs, kvrsim::Mark::Finding, failure);
    std::ofstream out(PicturePath, std::ios::binary | std::ios::trunc);
    picture.Write(out,
                  std::string("kvr_explore --case ") + c.Name + " --replay \"" +
                      sim::ScheduleText(failed.Record.Switches) + "\"",
                  c.EndMs);
    out.close();
    if (!out)
        printf("  timeline: could not write %s\n", PicturePath);
    else
        printf("  timeline: %s (%zu failure(s) in the second run)\n", PicturePath,
               again.Failures.size());
}

void Report(const Case &c, const char *strategy, const sim::ScheduleOptions &options,
            const Outcome &outcome, uint64_t index)
{
    uint64_t seed = options.Seed;
    printf("FAILED case %s after %llu schedules (%s", c.Name, (unsigned long long)index + 1,
           strategy);
    if (std::string_view(strategy) == "random" || std::string_view(strategy) == "pct")
        printf(", seed %llu", (unsigned long long)seed);
    printf(")\n");
    for (const std::string &failure : outcome.Failures)
        printf("  %s\n", failure.c_str());
    std::string schedule = sim::ScheduleText(outcome.Record.Switches);
    printf("  schedule (%llu decision points): %s\n", (unsigned long long)outcome.Record.Points,
           schedule.c_str());
    if (std::string_view(strategy) == "random")
        printf("  reproduce: kvr_explore --case %s --strategy random --seed %llu --schedules 1\n",
               c.Name, (unsigned long long)seed);
    if (std::string_view(strategy) == "pct")
        printf("  reproduce: kvr_explore --case %s --strategy pct --seed %llu --pct-depth %u "
               "--pct-points %llu --schedules 1\n",
               c.Name, (unsigned long long)seed, options.PctDepth,
               (unsigned long long)options.PctPoints);
    printf("  reproduce: kvr_explore --case %s --replay \"%s\"\n", c.Name, schedule.c_str());
    if (PicturePath)
        DrawFailure(c, outcome);
}

// Every schedule with at most two departures from the default order, to
// compare the reduced search with; the number run, or 0 at a failure.
uint64_t CountBounded(const Case &c)
{
    sim::BoundedSchedules bounded(2);
    std::vector<sim::Switch> switches;
    uint64_t count = 0;
    while (bounded.Next(switches)) {
        sim::ScheduleOptions options;
        options.Switches = switches;
        options.RecordDecisions = true;
        Outcome outcome = RunOne(c, options);
        bounded.Record(outcome.Record);
        ++count;
        if (!outcome.Failures.empty()) {
            Report(c, "bounded", options, outcome, count - 1);
            return 0;
        }
    }
    return count;
}

// The partial-order search, to completion or within the bound; no budget.
bool ExploreReduced(const Case &c, const Settings &settings, uint64_t &schedules)
{
    unsigned bound = settings.Bound.value_or(sim::PartialOrderSearch::Unbounded);
    sim::PartialOrderSearch search(bound);
    sim::ScheduleOptions options;
    while (search.Next(options)) {
        Outcome outcome = RunOne(c, options);
        search.Record(outcome.Record);
        ++schedules;
        if (outcome.Record.Diverged)
            outcome.Failures.push_back("reduced: the run left its prefix (the case is not "
                                       "deterministic)");
        if (!outcome.Failures.empty()) {
            Report(c, "reduced", options, outcome, search.Runs() - 1);
            return false;
        }
    }
    std::string reach = settings.Bound ? "within " + std::to_string(bound) + " departures"
                                       : std::string("every interleaving");
    printf("  reduced: %llu traces, %s (%llu runs, %llu cut short by sleep sets)\n",
           (unsigned long long)search.Traces(), reach.c_str(), (unsigned long long)search.Runs(),
           (unsigned long long)search.Blocked());
    if (settings.Compare) {
        uint64_t bounded = CountBounded(c);
        if (!bounded)
            return false;
        schedules += bounded;
        printf("  bounded at bound 2: %llu schedules; reduced runs / bounded = %.4f\n",
               (unsigned long long)bounded, (double)search.Runs() / (double)bounded);
    }
    return true;
}

// Runs one strategy's budget on one case; false at the first failure.
bool Explore(const Case &c, const std::string &strategy, const Settings &settings,
             uint64_t defaultPoints, uint64_t &schedules)
{
    if (strategy == "reduced")
        return ExploreReduced(c, settings, schedules);
    if (strategy == "bounded") {
        sim::BoundedSchedules bounded(settings.Bound.value_or(2));
        std::vector<sim::Switch> switches;
        uint64_t index = 0;
        while (index < settings.Schedules && bounded.Next(switches)) {
            sim::ScheduleOptions options;
            options.Kind = sim::Strategy::Replay;
            options.Switches = switches;
            options.RecordDecisions = true;
            Outcome outcome = RunOne(c, options);
            bounded.Record(outcome.Record);
            ++schedules;
            if (!outcome.Failures.empty()) {
                Report(c, "bounded", options, outcome, index);
                return false;
            }
            ++index;
        }
        if (settings.Verbose)
            printf("  bounded: %llu schedules%s\n", (unsigned long long)index,
                   bounded.Next(switches) ? " (budget reached)" : " (every schedule)");
        return true;
    }
    sim::ScheduleOptions options;
    options.Kind = strategy == "pct" ? sim::Strategy::Pct : sim::Strategy::RandomWalk;
    options.PctDepth = settings.PctDepth;
    // PCT draws its priority drops from the decision points a run meets;
    // runs that switch meet more than the default order, so the span grows
    // to the longest run seen (unless given).
    uint64_t points = settings.PctPoints ? settings.PctPoints : defaultPoints;
    for (uint64_t index = 0; index < settings.Schedules; ++index) {
        options.Seed = settings.Seed + index;
        options.PctPoints = points ? points : 1;
        Outcome outcome = RunOne(c, options);
        ++schedules;
        if (!outcome.Failures.empty()) {
            Report(c, strategy.c_str(), options, outcome, index);
            return false;
        }
        if (!settings.PctPoints && outcome.Record.Points > points)
            points = outcome.Record.Points;
    }
    return true;
}

bool RunCase(const Case &c, const Settings &settings)
{
    auto start = std::chrono::steady_clock::now();
    uint64_t schedules = 0;
    bool ok = true;
    if (settings.Replay) {
        sim::ScheduleOptions options;
        options.Switches = *settings.Replay;
        Outcome outcome = RunOne(c, options);
        schedules = 1;
        if (!outcome.Failures.empty()) {
            Report(c, "replay", options, outcome, 0);
            ok = false;
        }
    } else {
        // The default order first: it must hold, and its length sizes PCT.
        Outcome first = RunOne(c, sim::ScheduleOptions{});
        schedules = 1;
        if (!first.Failures.empty()) {
            Report(c, "replay", sim::ScheduleOptions{}, first, 0);
            return false;
        }
        const char *strategies[] = {"random", "pct", "bounded", "reduced"};
        for (const char *strategy : strategies) {
            bool all = settings.StrategyName == "all" && std::string_view(strategy) != "bounded";
            if (!all && settings.StrategyName != strategy)
                continue;
            if (!Explore(c, strategy, settings, first.Record.Points, schedules)) {
                ok = false;
                break;
            }
        }
        if (settings.Verbose)
            printf("  default order: %llu decision points, %llu switch points\n",
                   (unsigned long long)first.Record.Points,
                   (unsigned long long)first.Record.SwitchPoints);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("case %s: %s; %llu schedules in %.2f s (%.0f schedules/s); checks: %s\n", c.Name,
           ok ? "every property held" : "FAILED", (unsigned long long)schedules, seconds,
           seconds > 0 ? (double)schedules / seconds : 0.0, c.Checks);
    return ok;
}

bool ParseNumber(const char *text, uint64_t &value)
{
    char *end = nullptr;
    value = strtoull(text, &end, 10);
    return end && *end == 0 && end != text;
}

int Usage()
{
    fprintf(stderr,
            "usage: kvr_explore [--case power|status|events|session|startio|removal|orderly|\n"
            "                           refused|reopen|attach|unload|all]\n"
            "                   [--strategy random|pct|bounded|reduced|all] [--schedules N]\n"
            "                   [--seed S] [--bound B] [--pct-depth D] [--pct-points K]\n"
            "                   [--compare] [--replay \"POINT:THREAD ...\"]\n"
            "                   [--timeline FILE] [--image FILE] [--verbose]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    if (const char *budget = getenv("KVR_EXPLORE_SCHEDULES")) {
        if (!ParseNumber(budget, settings.Schedules))
            return Usage();
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        if (arg == "--verbose") {
            settings.Verbose = true;
            continue;
        }
        if (arg == "--compare") {
            settings.Compare = true;
            continue;
        }
        if (!value)
            return Usage();
        ++i;
        if (arg == "--case") {
            settings.CaseName = value;
        } else if (arg == "--strategy") {
            settings.StrategyName = value;
        } else if (arg == "--timeline") {
            PicturePath = value;
        } else if (arg == "--image") {
            ImagePath = value;
        } else if (arg == "--replay") {
            settings.Replay = sim::ParseSchedule(value);
            if (!settings.Replay)
                return Usage();
        } else if (ParseNumber(value, number)) {
            if (arg == "--schedules")
                settings.Schedules = number;
            else if (arg == "--seed")
                settings.Seed = number;
            else if (arg == "--bound")
                settings.Bound = (unsigned)number;
            else if (arg == "--pct-depth")
                settings.PctDepth = (unsigned)number;
            else if (arg == "--pct-points")
                settings.PctPoints = number;
            else
                return Usage();
        } else {
            return Usage();
        }
    }
    const std::set<std::string> strategies = {"all", "random", "pct", "bounded", "reduced"};
    if (!strategies.count(settings.StrategyName))
        return Usage();
    if (ImagePath) {
        if (!std::filesystem::exists(ImagePath)) {
            printf("SKIPPED: no image at %s: build the windows-x64 preset first\n", ImagePath);
            return 0;
        }
        std::string error = sim::UseImage(ImagePath);
        if (!error.empty()) {
            fprintf(stderr, "kvr_explore: %s\n", error.c_str());
            return 2;
        }
    }
    bool found = false;
    bool ok = true;
    for (const Case &c : AllCases()) {
        if (settings.CaseName != "all" && settings.CaseName != c.Name)
            continue;
        found = true;
        ok = RunCase(c, settings) && ok;
    }
    if (!found)
        return Usage();
    return ok ? 0 : 1;
}
