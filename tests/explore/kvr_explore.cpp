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
//  - status:     the last DeviceStatus in the registry equals the record;
//  - event:      every event the monitor handles carries the identifiers of
//                one notification;
//  - pair:       every DeviceStatus written carries SessionParam1 and
//                SessionParam2 as one StartExternalSession gave them;
//  - verifier:   the simulated kernel has no finding, teardown included.
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
//   kvr_explore [--case power|status|events|session|all]
//               [--strategy random|pct|bounded|reduced|all] [--schedules N] [--seed S]
//               [--bound B] [--pct-depth D] [--pct-points K] [--compare]
//               [--replay "POINT:THREAD ..."] [--timeline FILE] [--verbose]
//
// "all" runs the random walk, PCT and the reduced search.

#include "sim/sim.h"
#include "sim/explore.h"
#include "tools/kvrsim/runner.h"
#include "tools/kvrsim/timeline.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/detect/detect.h"

#ifndef KVR_EXPLORE_BUDGET
#define KVR_EXPLORE_BUDGET 500
#endif

namespace
{

constexpr std::string_view ProductKey = "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
constexpr std::string_view PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
constexpr std::string_view PeerDeviceName = "\\Device\\KEVO-0";
constexpr char ExternalInstance[] = "TQXRA4C0FFEE";

// --- What one run did ---------------------------------------------------------

struct PowerCall {
    ULONG State;
    uint64_t Begin;
    uint64_t End;
};

struct PowerQuery {
    uint64_t Begin;
    uint64_t End;
    uint8_t Reported;
};

struct Notification {
    std::string Pid;
    std::string Instance;
    bool MonitorMode;
};

struct Run {
    uint64_t Stamp = 0; // orders the contexts' calls; the threads run one at a time
    std::vector<PowerCall> PowerCalls;
    std::vector<PowerQuery> PowerQueries;
    std::set<std::pair<uint32_t, uint32_t>> Pairs; // given with StartExternalSession
    std::vector<Notification> Notifications;
    std::vector<std::string> Failures;
};

Run R;

// The picture being drawn of a failing schedule's second run, if any.
kvrsim::Timeline *Picture = nullptr;
const char *PicturePath = nullptr;

void Fail(std::string text)
{
    R.Failures.push_back(std::move(text));
}

// The harness's own code on a context's thread updates one part of its
// record of the run: announced to the explorer as an update of that part,
// ordered against the other contexts' updates of it.
void HarnessStep(const void *record)
{
    if (__atomic_load_n(&KvrSwitchPointsOn, __ATOMIC_RELAXED))
        KvrSwitchPoint(record, SharedUpdate);
}

// --- The contexts' actions (called on simulated threads) ----------------------

void WaitUntilMs(uint64_t ms)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)(ms * sim::TicksPerMs); // absolute, on the virtual clock
    KeDelayExecutionThread(KernelMode, FALSE, &at);
}

uint32_t PairOf(uint32_t first)
{
    return first * 2654435761u ^ 0x5A5A5A5Au;
}

void StartSession(uint32_t first)
{
    HarnessStep(&R.Pairs);
    uint32_t second = PairOf(first);
    R.Pairs.insert({first, second});
    std::vector<uint8_t> input(8);
    for (int i = 0; i < 4; ++i) {
        input[i] = (uint8_t)(first >> (8 * i));
        input[4 + i] = (uint8_t)(second >> (8 * i));
    }
    sim::Ioctl(IoctlStartExternalSession, input, 0);
}

void EndSession()
{
    sim::Ioctl(IoctlEndExternalSession, {}, 0);
}

void QueryPowerOff()
{
    HarnessStep(&R.Stamp);
    uint64_t begin = R.Stamp++;
    sim::IoctlResult result = sim::Ioctl(IoctlQueryPowerOff, {}, 1);
    HarnessStep(&R.Stamp);
    uint8_t reported = result.Output.empty() ? 0xFF : result.Output[0];
    R.PowerQueries.push_back(PowerQuery{begin, R.Stamp++, reported});
}

void SetPower(ULONG state)
{
    HarnessStep(&R.Stamp);
    uint64_t begin = R.Stamp++;
    sim::SetPowerState(state);
    HarnessStep(&R.Stamp);
    R.PowerCalls.push_back(PowerCall{state, begin, R.Stamp++});
}

void Plug(const char *pid, const char *instance)
{
    HarnessStep(&R.Notifications);
    bool monitorMode = false;
    for (const auto &id : MonitorModeIds)
        monitorMode = monitorMode || std::string_view(id) == pid;
    R.Notifications.push_back(Notification{pid, instance, monitorMode});
    sim::PlugUsb(FrameVendorId[0], pid, instance);
}

// --- Threads -------------------------------------------------------------------

std::vector<std::function<void()>> Bodies;

void ThreadMain(PVOID context)
{
    Bodies[(size_t)(uintptr_t)context]();
}

void StartThreads(std::vector<std::function<void()>> bodies)
{
    Bodies = std::move(bodies);
    for (size_t i = 0; i < Bodies.size(); ++i) {
        HANDLE handle;
        if (PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ThreadMain,
                                 (PVOID)(uintptr_t)i) != STATUS_SUCCESS)
            Fail("could not start a context's thread");
    }
}

// --- The system and the checks -------------------------------------------------

void BootSystem()
{
    sim::Options options;
    options.Keys = {std::string(ProductKey), std::string(PeerDeviceKey)};
    options.TraceEnabled = false;
    options.RecordWaits = false;
    options.RecordPeerRequests = false;
    options.ThreadStackSize = 128 * 1024;
    sim::Reset(options);
    if (Picture)
        sim::SetTraceObserver([](const sim::TraceEvent &e) { kvrsim::AddToTimeline(*Picture, e); });
    DriverState = DRIVER_STATE{};
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    sim::ExpectSurvivingReferences(PeerDeviceName);
    if (sim::LoadDriver(DriverEntry) != STATUS_SUCCESS)
        Fail("DriverEntry failed");
    if (sim::StartAdapter().FindStatus != NO_ERROR)
        Fail("the adapter did not start");
}

uint32_t Le32(const std::vector<uint8_t> &bytes, size_t at)
{
    return (uint32_t)bytes[at] | (uint32_t)bytes[at + 1] << 8 | (uint32_t)bytes[at + 2] << 16 |
           (uint32_t)bytes[at + 3] << 24;
}

std::string HexOf(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::vector<sim::RegWrite> DeviceStatusWrites()
{
    std::vector<sim::RegWrite> writes;
    for (const sim::RegWrite &write : sim::RegistryWrites())
        if (write.Name == "DeviceStatus" && NT_SUCCESS(write.Status))
            writes.push_back(write);
    return writes;
}

// status: the registry's last DeviceStatus is the record as it now stands.
void CheckStatusSettled()
{
    std::vector<sim::RegWrite> writes = DeviceStatusWrites();
    std::vector<uint8_t> record(sizeof(DriverState.DeviceStatusRecord));
    memcpy(record.data(), static_cast<const void *>(&DriverState.DeviceStatusRecord),
           record.size());
    if (writes.empty()) {
        Fail("status: no DeviceStatus was ever written");
        return;
    }
    std::optional<sim::RegValue> stored = sim::GetValue(ProductKey, "DeviceStatus");
    if (!stored || stored->Data != record)
        Fail("status: the registry holds DeviceStatus " +
             (stored ? HexOf(stored->Data) : std::string("(none)")) + ", the record is " +
             HexOf(record));
}

// pair: every DeviceStatus written carries a pair one request gave (or none).
void CheckPairs()
{
    for (const sim::RegWrite &write : DeviceStatusWrites()) {
        if (write.Data.size() != 16) {
            Fail("pair: a DeviceStatus of " + std::to_string(write.Data.size()) + " bytes");
            continue;
        }
        std::pair<uint32_t, uint32_t> pair{Le32(write.Data, 8), Le32(write.Data, 12)};
        if (pair != std::pair<uint32_t, uint32_t>{0, 0} && !R.Pairs.count(pair))
            Fail("pair: DeviceStatus " + HexOf(write.Data) +
                 " carries SessionParam1 and SessionParam2 of two different requests");
    }
}

// power-off: reported by a later QueryPowerOff, and kept while the display is
// off. Runs a QueryPowerOff of its own once everything has settled.
void CheckPowerOff()
{
    QueryPowerOff();
    for (const PowerCall &call : R.PowerCalls) {
        if (call.State != VideoPowerOff)
            continue;
        bool reported = false;
        for (const PowerQuery &query : R.PowerQueries)
            reported = reported || (query.End > call.Begin && query.Reported == 1);
        if (!reported)
            Fail("power-off: the power-off given at stamp " + std::to_string(call.Begin) +
                 " was never reported by QueryPowerOff");
    }
    if (!R.PowerCalls.empty() && R.PowerCalls.back().State == VideoPowerOff &&
        R.PowerQueries.back().Reported != 1)
        Fail("power-off: the display is off, yet QueryPowerOff reports " +
             std::to_string(R.PowerQueries.back().Reported));
}

// event: the monitor attaches only for a monitor-mode frame whose instance
// does not begin with the external-session prefix. When no notification
// was of such a frame, an attach means that the monitor took the product ID
// of one notification with the instance of another.
void CheckEventsWhole()
{
    bool attachNotified = false;
    for (const Notification &notification : R.Notifications)
        attachNotified =
            attachNotified || (notification.MonitorMode &&
                               notification.Instance.compare(0, 6, ExternalInstance, 6) != 0);
    if (!attachNotified && !sim::OpenCalls().empty())
        Fail("event: the monitor opened the sibling's device, but every monitor-mode frame "
             "notified has the external-session prefix: it took identifiers of two "
             "notifications");
}

void CheckVerifier()
{
    for (const sim::Violation &violation : sim::Shutdown())
        Fail("verifier: " + violation.Text + " (at " + std::to_string(violation.Time) + ")");
}

// --- The cases ------------------------------------------------------------------

struct Case {
    const char *Name;
    const char *Checks;
    void (*Prepare)();  // before exploring: the starting state
    void (*Contexts)(); // starts the contexts' threads
    uint64_t EndMs;     // exploring stops here
    void (*Settle)();   // after exploring
};

// HwSetPowerState against QueryPowerOff, with a power-off already reported
// once and the display back on. The monitor sleeps meanwhile.
void PreparePower()
{
    sim::AdvanceTo(1000);
    SetPower(VideoPowerOff);
    SetPower(VideoPowerOn);
}

void PowerContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1100);
                      SetPower(VideoPowerOff);
                  },
                  [] {
                      WaitUntilMs(1100);
                      QueryPowerOff();
                      QueryPowerOff();
                  }});
}

void SettlePower()
{
    sim::AdvanceTo(1500);
    CheckPowerOff();
    CheckStatusSettled();
    CheckPairs();
}

// The monitor's event handling and publication against the control codes
// and power changes that write DeviceStatus, while the monitor is detached
// (so nothing rewrites DeviceStatus once the contexts are done): an arrival
// of a monitor-mode frame of an external session (two DeviceStatus writes,
// no attach), then an arrival of an alternate-mode frame (a publication).
void PrepareStatus()
{
    sim::AdvanceTo(900);
}

void StatusContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      Plug(MonitorModeIds[0], ExternalInstance);
                      WaitUntilMs(1250);
                      Plug(AltModeIds[1], "FR0002B1");
                  },
                  [] {
                      WaitUntilMs(1000);
                      StartSession(0x11);
                      QueryPowerOff();
                      EndSession();
                      WaitUntilMs(1250);
                      QueryPowerOff();
                      StartSession(0x22);
                      QueryPowerOff();
                  },
                  [] {
                      WaitUntilMs(1000);
                      SetPower(VideoPowerOff);
                      WaitUntilMs(1250);
                      SetPower(VideoPowerOn);
                  }});
}

void SettleStatus()
{
    sim::AdvanceTo(3000);
    CheckStatusSettled();
    CheckPairs();
    CheckEventsWhole();
    CheckPowerOff();
}

// Two notifications of different frames racing with the monitor's taking
// of the event: a monitor-mode frame of an external session, and an
// alternate-mode frame; twice.
void EventContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      Plug(MonitorModeIds[0], ExternalInstance);
                      WaitUntilMs(1250);
                      Plug(MonitorModeIds[1], ExternalInstance);
                  },
                  [] {
                      WaitUntilMs(1000);
                      Plug(AltModeIds[1], "FR0002B1");
                      WaitUntilMs(1250);
                      Plug(AltModeIds[2], "FR0003C2");
                  }});
}

void SettleEvents()
{
    sim::AdvanceTo(3000);
    CheckEventsWhole();
    CheckStatusSettled();
    CheckPairs();
}

// An attached frame in panel refresh, its requests left pending and
// completed by the sibling driver from its own thread, while sessions start
// and end; at the end the frame leaves and the monitor detaches.
void PrepareSession()
{
    sim::SetFrameMode(3);
    sim::SetPeerCompletion(sim::Completion::Pending);
    sim::AdvanceTo(100);
    sim::PlugUsb(FrameVendorId[0], MonitorModeIds[2], "FR0001A7");
    sim::AdvanceTo(990);
    if (DriverState.PeerDevice.Load() == nullptr)
        Fail("session: the frame was not attached");
}

void SessionContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      StartSession(0x31);
                      EndSession();
                      WaitUntilMs(1250);
                      StartSession(0x32);
                      QueryPowerOff();
                  },
                  [] {
                      for (uint64_t ms = 1000; ms <= 1250; ms += 250) {
                          WaitUntilMs(ms);
                          sim::SetFramePanel((UCHAR)(ms / 250), 7);
                          sim::CompleteOldestPeerRequest();
                      }
                  }});
}

void SettleSession()
{
    sim::CompletePeerRequests();
    sim::UnplugUsb(FrameVendorId[0], MonitorModeIds[2], "FR0001A7");
    sim::AdvanceTo(2500);
    sim::CompletePeerRequests();
    sim::AdvanceTo(3000);
    CheckPairs();
    CheckStatusSettled();
}

const Case Cases[] = {
    {"power", "power-off, status, pair, verifier", PreparePower, PowerContexts, 1200, SettlePower},
    {"status", "status, pair, event, power-off, verifier", PrepareStatus, StatusContexts, 1400,
     SettleStatus},
    {"events", "event, status, pair, verifier", PrepareStatus, EventContexts, 1400, SettleEvents},
    {"session", "pair, status, verifier", PrepareSession, SessionContexts, 1400, SettleSession},
};

// --- Running schedules ----------------------------------------------------------

struct Outcome {
    sim::ScheduleRecord Record;
    std::vector<std::string> Failures;
};

Outcome RunOne(const Case &c, const sim::ScheduleOptions &options)
{
    R = Run{};
    BootSystem();
    c.Prepare();
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
            "usage: kvr_explore [--case power|status|events|session|all]\n"
            "                   [--strategy random|pct|bounded|reduced|all] [--schedules N]\n"
            "                   [--seed S] [--bound B] [--pct-depth D] [--pct-points K]\n"
            "                   [--compare] [--replay \"POINT:THREAD ...\"]\n"
            "                   [--timeline FILE] [--verbose]\n");
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
    bool found = false;
    bool ok = true;
    for (const Case &c : Cases) {
        if (settings.CaseName != "all" && settings.CaseName != c.Name)
            continue;
        found = true;
        ok = RunCase(c, settings) && ok;
    }
    if (!found)
        return Usage();
    return ok ? 0 : 1;
}
