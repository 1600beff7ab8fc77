// A simulated system brought to one steady state of the monitor, for the
// benchmarks and the pool accounting: the driver loaded and started on a
// fresh simulated kernel with its records and trace off, and the frame (if
// any) in the mode that the turn under study needs.
//
// Include this header before any driver header: the C library's declarations
// must precede the platform header's own declaration of strncpy.

#ifndef KVR_BENCH_SYSTEM_H
#define KVR_BENCH_SYSTEM_H

#include "sim/sim.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvrbench
{

inline constexpr const char *ProductKey = "\\Registry\\Machine\\Software\\Korvane\\Brindlecourt";
inline constexpr const char *PeerDeviceKey =
    "\\Registry\\Machine\\system\\CurrentControlSet\\Services\\KEVO\\Device0";

// The steady states of a monitor turn.
enum class TurnMode {
    Detached,     // no frame: a 250 ms wait
    Setup,        // frame in mode 2: panel and mode requests, one publication
    PanelRefresh, // mode 3, no client: panel request and publication every 250 ms
    InputPolling, // mode 3, client active, nothing pending: command 6 every 500 ms
    InputPending, // mode 3, client active, input pending: command 7 on every 20th turn
};

inline constexpr TurnMode AllTurnModes[] = {TurnMode::Detached, TurnMode::Setup,
                                            TurnMode::PanelRefresh, TurnMode::InputPolling,
                                            TurnMode::InputPending};

const char *TurnModeName(TurnMode Mode);
// Virtual milliseconds between two turns in this state.
uint64_t TurnPeriodMs(TurnMode Mode);

// A fresh kernel (records and trace off), the driver loaded and started, and
// the system run until the monitor turns in the given state. Returns false
// if the state was not reached.
bool StartSystem(TurnMode Mode);
// Tears the kernel down; returns the verifier's findings.
std::vector<sim::Violation> StopSystem();

// What a stretch of turns did, from the kernel's counters.
struct TurnAccount {
    uint64_t Turns = 0;         // waits begun (the monitor waits once a turn)
    uint64_t RegistryCalls = 0; // writes and queries
    uint64_t PeerRequests = 0;
    // Pool by tag over the stretch: allocations made, and outstanding
    // count and bytes at its start and end.
    struct Tag {
        ULONG Value;
        uint64_t Allocations;
        uint64_t OutstandingBefore, OutstandingAfter;
        uint64_t BytesBefore, BytesAfter;
    };
    std::vector<Tag> Tags;
};

// Runs the clock for Ms virtual milliseconds and accounts for it.
TurnAccount RunTurns(uint64_t Ms);

// The finding if the stretch allocated anything but one key-path copy
// ("sger") per registry call, or left pool outstanding that was not before;
// empty when it did not.
std::string CheckOnlyPathCopies(const TurnAccount &Account);

// Resident memory of this process, in KiB (from /proc/self/statm).
uint64_t ResidentKiB();

} // namespace kvrbench

#endif // KVR_BENCH_SYSTEM_H
