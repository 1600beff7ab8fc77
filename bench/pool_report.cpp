// Pool accounting over a long run, in each steady state of the monitor.
//
//   kvr_pool_report [HOURS]
//
// For each state: the driver on a fresh simulated kernel, HOURS of virtual
// time (default 24) run an hour at a time. Prints the turns, the registry
// calls, the pool allocations by tag, the pool outstanding at the start and
// the end, and the resident memory of the process after the first and the
// last hour. Exits 1 if a turn allocated anything but one key-path copy per
// registry call, if pool outstanding grew, or if the verifier found a fault.

#include "system.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

using namespace kvrbench;

int main(int argc, char **argv)
{
    uint64_t Hours = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 24;
    if (Hours == 0)
        Hours = 1;
    int Status = 0;
    // The first reading of /proc sets up stdio buffers of its own; take it
    // before any figure is.
    ResidentKiB();
    std::printf("%-20s %6s %10s %10s %12s %12s %16s %14s\n", "state", "hours", "turns", "registry",
                "path copies", "other allocs", "outstanding", "RSS KiB 1st/last");
    for (TurnMode Mode : AllTurnModes) {
        if (!StartSystem(Mode)) {
            std::printf("%-20s could not be reached\n", TurnModeName(Mode));
            StopSystem();
            Status = 1;
            continue;
        }
        TurnAccount Total;
        std::string Findings;
        uint64_t FirstRss = 0, LastRss = 0;
        uint64_t OutstandingBefore = 0, OutstandingAfter = 0;
        for (uint64_t Hour = 0; Hour < Hours; ++Hour) {
            TurnAccount A = RunTurns(3600 * 1000);
            Findings += CheckOnlyPathCopies(A);
            Total.Turns += A.Turns;
            Total.RegistryCalls += A.RegistryCalls;
            Total.PeerRequests += A.PeerRequests;
            uint64_t Before = 0, After = 0;
            for (const TurnAccount::Tag &T : A.Tags) {
                Before += T.BytesBefore;
                After += T.BytesAfter;
                bool Found = false;
                for (TurnAccount::Tag &S : Total.Tags) {
                    if (S.Value == T.Value) {
                        S.Allocations += T.Allocations;
                        Found = true;
                    }
                }
                if (!Found)
                    Total.Tags.push_back(T);
            }
            if (Hour == 0) {
                FirstRss = ResidentKiB();
                OutstandingBefore = Before;
            }
            OutstandingAfter = After;
            LastRss = ResidentKiB();
        }
        uint64_t PathCopies = 0, Other = 0;
        for (const TurnAccount::Tag &T : Total.Tags) {
            if (T.Value == sim::Tag("sger"))
                PathCopies += T.Allocations;
            else
                Other += T.Allocations;
        }
        for (const sim::Violation &V : StopSystem())
            Findings += "verifier: " + V.Text + "; ";
        char Outstanding[40];
        std::snprintf(Outstanding, sizeof Outstanding, "%" PRIu64 " -> %" PRIu64 " B",
                      OutstandingBefore, OutstandingAfter);
        std::printf("%-20s %6" PRIu64 " %10" PRIu64 " %10" PRIu64 " %12" PRIu64 " %12" PRIu64
                    " %16s %7" PRIu64 "/%" PRIu64 "\n",
                    TurnModeName(Mode), Hours, Total.Turns, Total.RegistryCalls, PathCopies, Other,
                    Outstanding, FirstRss, LastRss);
        if (!Findings.empty()) {
            std::printf("  FAILED: %s\n", Findings.c_str());
            Status = 1;
        }
    }
    std::printf("%s\n", Status == 0 ? "every turn allocated only its key-path copies, one per "
                                      "registry call, and freed them"
                                    : "a turn allocated more than its key-path copies");
    return Status;
}
