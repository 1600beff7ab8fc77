// The harness interface, the kernel room: the run, time and threads, IRQL, the verifier, pool and
// the trace: a part of sim.h, which includes every part in order; include sim.h, not this.

#ifndef KVR_SIM_KERNEL_HARNESS_H
#define KVR_SIM_KERNEL_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// Lifecycle

// A verifier finding: what went wrong and when (virtual time).
struct Violation {
    std::string Text;
    int64_t Time;
};

enum class Mode {
    // Simulated threads are fibers on the calling OS thread; time moves only
    // when every simulated thread is blocked. Same inputs, same trace.
    Deterministic,
    // Simulated threads are real threads; the virtual clock follows the wall
    // clock, scaled (see Options::RealMicrosPerVirtualMs).
    FreeRunning,
};

// The Windows version whose documented behaviour the kernel follows. The
// driver model runs on Vista and 7 (and their server editions) only; the
// verifier names the version in its findings.
enum class Target {
    Windows7x64,
    WindowsVistax64,
};
const char *TargetName(Target target); // "Windows 7 x64", "Windows Vista x64"

struct Options {
    Target TargetOs = Target::Windows7x64;
    // Whether the update that adds RTL_QUERY_REGISTRY_TYPECHECK to Vista and 7
    // is installed; without it those versions ignore the flag.
    bool RegistryTypecheckUpdate = false;
    // The environment that RtlQueryRegistryValues expands REG_EXPAND_SZ
    // references from when the caller passes none: the system process has
    // none of the user's variables. "NAME=value" entries.
    std::vector<std::string> SystemEnvironment;
    Mode RunMode = Mode::Deterministic;
    // Free-running mode: real microseconds per virtual millisecond. The
    // default makes a 250 ms wait a 5 ms real sleep.
    uint32_t RealMicrosPerVirtualMs = 20;
    // Stack size of each simulated thread.
    size_t ThreadStackSize = 256 * 1024;
    // Records and logs; each can be switched off for long runs.
    bool TraceEnabled = true;       // the ordered event log (Trace())
    bool RecordWaits = true;        // Waits()
    bool RecordRegistry = true;     // RegistryWrites(), RegistryQueries()
    bool RecordPeerRequests = true; // PeerRequests()
    bool PoolLog = false;           // PoolLog()
    // Registry keys created at Reset (absolute \Registry\Machine paths;
    // intermediate keys are created too).
    std::vector<std::string> Keys;
    // Whether \Device\KEVO-0 exists from the start.
    bool PeerPresent = true;
    // Whether the verifier reports a reported byte of a control request that
    // still holds the system buffer's pattern (see Ioctl). The kernel cannot
    // see plain stores, so a byte that the miniport writes with the
    // pattern's own value looks unwritten: runs whose replies may hold any
    // byte (fuzzing, random stress) switch the check off.
    bool CheckReplyBytes = true;
};

// A brand-new kernel: the threads of the previous run are torn down (also
// ones that never return), every object, record, counter and injected fault
// is gone, the clock is 0 and the registry holds only Options::Keys.
void Reset(const Options &options = Options{});

// Tears the kernel down and runs the teardown checks (leaked pool, held
// references); their findings join Violations(), which stay readable until
// the next Reset. Returns the complete list.
std::vector<Violation> Shutdown();

const Options &CurrentOptions();

// ---------------------------------------------------------------------------
// Time and threads

constexpr int64_t TicksPerMs = 10000; // 100-ns units per millisecond

int64_t Now();    // virtual time, 100-ns units
uint64_t NowMs(); // virtual time, whole milliseconds

// Deterministic mode: runs every runnable simulated thread until each one is
// blocked. Free-running mode: returns at once.
void RunUntilIdle();
// Moves the clock forward by ms (to an absolute time), stopping at each
// wake-up on the way and running everything due at or before it; on return
// every thread due at or before the new time has run and blocked again.
// Free-running mode: sleeps until the virtual clock has passed the time.
void Advance(uint64_t ms);
void AdvanceTo(uint64_t ms);
void AdvanceTicks(int64_t ticks);
void AdvanceToTicks(int64_t time);
// The earliest time at which a blocked thread wakes (deterministic mode).
std::optional<int64_t> NextWakeTime();
// Whether the system sleeps (SetSystemPower): while it does, no simulated
// thread runs and no wait times out, and Advance only moves the clock.
bool SystemAsleep();

struct ThreadInfo {
    uint32_t Id; // 1, 2, ... in creation order; 0 is the harness context
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    bool Finished;    // the start routine returned
    bool Blocked;     // waiting (deterministic mode)
    int64_t WakeTime; // when blocked on a timed wait, else -1
};
std::vector<ThreadInfo> Threads();
size_t LiveThreadCount();
// Makes the next n calls of PsCreateSystemThread fail (STATUS_INSUFFICIENT_RESOURCES).
void FailNextThreadCreations(unsigned n);
// Deterministic mode: while on, a thread that PsCreateSystemThread creates
// does not run before the next call from outside into the driver has
// returned (after LoadDriver, that is the adapter start): the platform gives
// no order between a new thread's first instruction and its creator's next
// steps, and this is the other order than the default one, where the new
// thread runs at the next harness call. Off by default; Reset turns it off.
void HoldNewThreads(bool hold);
// Free-running mode: asks every simulated thread to stop and waits until
// they have: a wait begun (or in progress) after the request unwinds its
// thread to the thread's base. Reset and Shutdown do this themselves.
void StopThreads();
// The id of the calling simulated thread (0 for the harness context).
uint32_t CurrentThreadId();

// One record per KeDelayExecutionThread and per timed KeWaitForSingleObject.
struct WaitRecord {
    uint32_t Thread;
    int64_t Time;     // when the wait began
    int64_t Interval; // as given (negative: relative, 100-ns units)
    bool Delay;       // KeDelayExecutionThread (else KeWaitForSingleObject)
};
const std::vector<WaitRecord> &Waits();
uint64_t WaitCount(); // counted even when RecordWaits is off

// ---------------------------------------------------------------------------
// IRQL

// The IRQL of the calling context (harness context or simulated thread).
KIRQL Irql();
// Sets the IRQL of the calling context, for calling a driver routine at
// APC_LEVEL or DISPATCH_LEVEL in a test. No verifier check.
void SetIrql(KIRQL irql);

// ---------------------------------------------------------------------------
// Verifier

const std::vector<Violation> &Violations();
void ClearViolations();
// Called for each violation as it is recorded (for example to fail a test at
// the point of the fault). Pass an empty function to remove it. Like the
// trace observer, it must not call back into the kernel.
void SetViolationObserver(std::function<void(const Violation &)> observer);
// Declares pool of this tag that may legitimately still be allocated at
// teardown (the driver keeps some buffers for its whole life).
void ExpectSurvivingPool(ULONG tag);
// Declares that references on objects of this named device may still be
// held at teardown.
void ExpectSurvivingReferences(std::string_view deviceName);

// ---------------------------------------------------------------------------
// Pool

// Freed blocks are held back (poisoned) in a line of this many before their
// memory is used again: a second free, or a read through a stale pointer,
// within that many frees is recognised.
constexpr size_t PoolHeldBackBlocks = 4096;

constexpr ULONG Tag(const char (&text)[5])
{
    return (ULONG)(uint8_t)text[0] | (ULONG)(uint8_t)text[1] << 8 | (ULONG)(uint8_t)text[2] << 16 |
           (ULONG)(uint8_t)text[3] << 24;
}
std::string TagText(ULONG tag); // "ffub"

struct PoolStats {
    uint64_t OutstandingCount = 0;
    uint64_t OutstandingBytes = 0;
    uint64_t Allocations = 0; // successful
    uint64_t Frees = 0;
    uint64_t FailedAllocations = 0; // by injection
    uint64_t TotalBytes = 0;        // allocated over the run
    uint64_t PeakBytes = 0;         // of outstanding bytes
    uint64_t PeakCount = 0;
};
PoolStats PoolStatsForTag(ULONG tag);
PoolStats PoolTotals();
std::vector<std::pair<ULONG, PoolStats>> PoolStatsByTag(); // sorted by tag

// Fault injection: the next n allocations fail; the nth from now fails (1 is
// the next one); every allocation of a tag fails until cleared.
void FailNextAllocations(unsigned n);
void FailAllocationAt(unsigned nth);
void FailAllocationsOfTag(ULONG tag, bool fail = true);
void ClearPoolFaults();

struct PoolEvent {
    int64_t Time;
    bool Free;
    POOL_TYPE Type; // allocations
    SIZE_T Bytes;
    ULONG Tag;
    const void *Address;
    bool Failed; // an injected failure
};
const std::vector<PoolEvent> &PoolLog(); // kept when Options::PoolLog

// ---------------------------------------------------------------------------
// Trace

enum class TraceKind {
    Boot,    // DriverEntry returned: Status
    Notify,  // a device-interface notification: Text = arrival|removal|other, Name
    Open,    // IoGetDeviceObjectPointer: Name, Ok, Status
    Release, // a reference dropped on a file object of the sibling's device
    Request, // a peer request: Command, Status, or NoBuild
    Reg,     // a registry write attempt: Key, Name, Type, Data, Ok, Status
    Ioctl,   // a control request: Code, Status, Information, Data (output copied back)
    Power,   // HwSetPowerState: Code = state, Status
    // A peer request that was left pending is completed (by the sibling, or
    // cancelled with its thread): Command, Status.
    Complete,
    // A zero-timeout wait on the event of a peer request still pending timed
    // out: the caller found that request outstanding. Command.
    Busy,
    Adapter, // the adapter's device: Text = add|start|open|remove|unload|unmap, Status
    // Plug and play of the sibling's device: Text = surprise-removal,
    // query-remove, remove-cancelled (Name: why), remove-complete, remove,
    // add (Status), register, unregister (a target-device registration).
    Pnp,
    // The system's power: Text = sleep|hibernate|resume (SetSystemPower).
    System,
    // A call of the simulated GDI engine into the display driver: Text = the
    // routine (DrvEnablePDEV, ...), Name = its result as text, Ok, Code = its
    // return value where one is a number.
    Display,
};

struct TraceEvent {
    int64_t Time;
    TraceKind Kind;
    NTSTATUS Status = 0;
    bool Ok = false;
    bool NoBuild = false;
    bool Changed = false; // Reg: the write changed the stored type or bytes (or made the value)
    ULONG Code = 0;       // Ioctl: the control code; Power: the state; Reg: the type
    UCHAR Command = 0;    // Request
    ULONG_PTR Information = 0;
    std::string Text; // Notify: arrival|removal|other; Reg: the key path
    std::string Name; // Notify: symbolic-link name; Open: device; Reg: value name
    std::vector<uint8_t> Data;
};

void SetTraceEnabled(bool enabled);
// Switches every record and log of Options at once (the trace, waits,
// registry and peer-request records), for the long stretches of a run.
void SetRecording(bool enabled);
const std::vector<TraceEvent> &Trace();
// Called for every event as it is recorded (also when the log is off), on
// the context that caused it. In free-running mode it runs under the
// kernel's lock: it must not call back into the kernel.
void SetTraceObserver(std::function<void(const TraceEvent &)> observer);
const char *TraceKindName(TraceKind kind); // "boot", "notify", ...

} // namespace sim

#endif // KVR_SIM_KERNEL_HARNESS_H
