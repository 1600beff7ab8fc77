// The explorer's harness: what one run of a case did, the contexts' actions
// (each called on a simulated thread of its own), the system's boot, and the
// properties checked once a run has ended.

#ifndef KVR_EXPLORE_HARNESS_H
#define KVR_EXPLORE_HARNESS_H

#include "sim/sim.h"
#include "sim/explore/explore.h"
#include "tools/kvrsim/timeline.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/control/control.h"
#include "driver/core/miniport.h"
#include "driver/detect/detect.h"
#include "tests/support/loaded_driver.h"

namespace explore
{

constexpr std::string_view ProductKey = "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
constexpr std::string_view PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";
constexpr std::string_view PeerDeviceName = "\\Device\\KEVO-0";
constexpr char ExternalInstance[] = "TQXRA4C0FFEE";
// The frame that the attached cases attach to before exploring.
constexpr char AttachedInstance[] = "FR0001A7";

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
    bool Arrival;
};

struct Run {
    uint64_t Stamp = 0; // orders the contexts' calls; the threads run one at a time
    std::vector<PowerCall> PowerCalls;
    std::vector<PowerQuery> PowerQueries;
    std::set<std::pair<uint32_t, uint32_t>> Pairs; // given with StartExternalSession
    std::vector<Notification> Notifications;
    std::vector<std::string> Failures;
    int64_t ExploreStart = 0; // virtual time at which exploring began
};

extern Run R;
// The picture being drawn of a failing schedule's second run, if any.
extern kvrsim::Timeline *Picture;

void Fail(std::string text);

// The harness's own code on a context's thread updates one part of its
// record of the run: announced to the explorer as an update of that part,
// ordered against the other contexts' updates of it. (The simulated
// kernel's entry points it calls are switch points of their own.)
void HarnessStep(const void *record);

// --- The contexts' actions (called on simulated threads) ----------------------

void WaitUntilMs(uint64_t ms);
void StartSession(uint32_t first);
void EndSession();
void QueryPowerOff();
void SetPower(ULONG state);
void Plug(const char *pid, const char *instance);
void Unplug(const char *pid, const char *instance);
// Starts one simulated thread per body.
void StartThreads(std::vector<std::function<void()>> bodies);

// --- The system -----------------------------------------------------------------

// A fresh kernel with the driver loaded and the adapter started; beforeStart
// (if any) runs between the load and the start.
void BootSystem(void (*beforeStart)());
// The frame (mode 3, the sibling answering as given) attached by the
// monitor's turn at 500 ms; explores from 990 ms on.
void AttachFrame(sim::Completion completion);

// --- The properties -------------------------------------------------------------

// status: the registry's last DeviceStatus is the record as it now stands.
void CheckStatusSettled(const char *when);
// pair: every DeviceStatus written carries a pair one request gave (or none).
void CheckPairs();
// power-off: reported by a later QueryPowerOff, and kept while the display
// is off. Runs a QueryPowerOff of its own.
void CheckPowerOff();
// event: every event handled carries the identifiers of one notification;
// the last one posted belongs to one notification of its kind, and the
// flag derived from it (WideModel) agrees with its product ID; it was
// handled once (the slot is empty) and no monitor-mode arrival was handled
// more often than one was posted.
void CheckEventsWhole();
void CheckEventsHandled();
// link: the sibling's device is either let go of entirely (no file object,
// no registration, no PeerDevice) or held once (one file object, one
// registration on it, PeerDevice set), as `attached` says; no request is
// counted as being sent.
void CheckLink(bool attached);
// The published DeviceStatus has this link state and device mode.
void CheckPublished(uint8_t linkState, uint8_t deviceMode);
void CheckVerifier();

// --- The cases ------------------------------------------------------------------

struct Case {
    const char *Name;
    const char *Checks;
    void (*BeforeStart)(); // between the driver's load and the adapter's start
    void (*Prepare)();     // before exploring: the starting state
    void (*Contexts)();    // starts the contexts' threads
    uint64_t EndMs;        // exploring stops here
    void (*Settle)();      // after exploring: the checks
};

std::vector<Case> PublicationCases(); // power, status, events, session, startio
std::vector<Case> LifecycleCases();   // removal, orderly, refused, reopen, detach, rejoin, attach,
                                      // unload

} // namespace explore

#endif // KVR_EXPLORE_HARNESS_H
