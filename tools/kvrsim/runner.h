// Running a parsed scenario on the simulated kernel.

#ifndef KVRSIM_RUNNER_H
#define KVRSIM_RUNNER_H

#include "scenario.h"
#include "timeline.h"

#include "../../sim/sim.h"

#include <ostream>

namespace kvrsim
{

// The product key and the peer device key, as the driver names them.
inline constexpr const char *ProductKeyPath =
    "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
inline constexpr const char *PeerKeyPath =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";

struct RunOptions {
    bool Json = false; // JSON lines instead of the timeline
    // The platform events are not printed, only the expects, `show`, the
    // verifier's findings and the closing summary; for long runs, where
    // printing every event would cost more than the run itself.
    bool Quiet = false;
    // The changes-only view (see Transcript).
    bool ChangesOnly = false;
    // Where the run's picture goes (see Timeline), or nowhere. It is drawn
    // from every event, printed or not.
    std::ostream *Picture = nullptr;
};

// What one event of the simulated kernel adds to a picture. Expects and
// verifier findings are the caller's to add.
void AddToTimeline(Timeline &Picture, const sim::TraceEvent &E);

// Builds the initial system, loads the driver (at time 0, or at the
// scenario's `boot`), runs every command on the virtual clock and ends with
// the verifier's checks and the closing summary. The transcript goes to Out;
// each failed expect and each verifier violation is also reported on Err as
// FILE:LINE or FILE. Returns 0 when every expect held and the verifier found
// nothing, else 1.
int RunScenario(const Scenario &S, const RunOptions &Opt, std::ostream &Out, std::ostream &Err);

} // namespace kvrsim

#endif // KVRSIM_RUNNER_H
