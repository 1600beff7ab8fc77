// The kernel's lifecycle, the verifier's record and the trace.

#include <cstdio>

#include "kernel/carried_storage.h"
#include "record.h"

namespace sim::detail
{

Kernel *K = nullptr;

void MakeFirstKernel()
{
    sim::Reset();
}

void HarnessEntry()
{
    EnsureKernel();
    DrainRunQueueIfIdle();
}

void HarnessEntryAs(const Access &what)
{
    EnterKernel(what);
    DrainRunQueueIfIdle();
}

// Only calls made from the harness context count: a simulated thread that
// calls into the driver (and may be switched out meanwhile) holds nothing up.
CallOut::CallOut()
    : Context(CurrentThread()), SavedEntryIrql(Context->EntryIrql),
      Counted(!K->FreeRunning && !K->Current)
{
    Context->EntryIrql = Context->Irql;
    if (Counted && K->CallDepth++ == 0)
        K->OuterCalls++;
}

CallOut::~CallOut()
{
    Context->EntryIrql = SavedEntryIrql;
    if (Counted && --K->CallDepth == 0)
        ReleaseHeldThreads();
}

namespace
{

bool InSection(const char *address, const char *start, const char *stop)
{
    return start != nullptr && address >= start && address < stop;
}

} // namespace

void CheckPlacedCaller(const char *routine, const void *returnAddress)
{
    const char *address = (const char *)returnAddress;
    if (InSection(address, __start_kvr_paged, __stop_kvr_paged)) {
        KIRQL irql = CurrentThread()->Irql;
        if (irql >= DISPATCH_LEVEL) {
            Guard guard;
            Violate("pageable code running at IRQL " + std::to_string(irql) + " (it called " +
                    routine + "): a page fault there stops the system " + OnTarget());
        }
    }
    if (InSection(address, __start_kvr_init, __stop_kvr_init) &&
        K->DriverEntryReturned.load(std::memory_order_relaxed)) {
        Guard guard;
        Violate(std::string("start-up code running after DriverEntry returned (it called ") +
                routine + "): the platform has discarded it");
    }
}

std::string OnTarget()
{
    return std::string("on ") + TargetName(K->Opt.TargetOs);
}

void Violate(std::string text)
{
    Violation violation{std::move(text), CurrentTime()};
    K->Violations.push_back(violation);
    if (K->ViolationObserver)
        K->ViolationObserver(violation);
}

TraceEvent NewEvent(int64_t time, TraceKind kind)
{
    TraceEvent event;
    event.Time = time;
    event.Kind = kind;
    return event;
}

TraceEvent &ReusedEvent(int64_t time, TraceKind kind)
{
    TraceEvent &event = K->EventScratch;
    event.Time = time;
    event.Kind = kind;
    event.Status = 0;
    event.Ok = false;
    event.NoBuild = false;
    event.Changed = false;
    event.Code = 0;
    event.Command = 0;
    event.Information = 0;
    event.Text.clear();
    event.Name.clear();
    event.Data.clear();
    return event;
}

void EmitReused(const TraceEvent &event)
{
    if (K->TraceObserver)
        K->TraceObserver(event);
    if (K->Opt.TraceEnabled)
        K->TraceLog.push_back(event);
}

void Emit(TraceEvent event)
{
    if (K->TraceObserver)
        K->TraceObserver(event);
    if (K->Opt.TraceEnabled)
        K->TraceLog.push_back(std::move(event));
}

std::string Hex(const void *data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    const uint8_t *bytes = (const uint8_t *)data;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

std::string Status(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", (unsigned)status);
    return text;
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

const char *TargetName(Target target)
{
    switch (target) {
    case Target::Windows7x64:
        return "Windows 7 x64";
    case Target::WindowsVistax64:
        return "Windows Vista x64";
    }
    return "?";
}

void Reset(const Options &options)
{
    Kernel *fresh = new Kernel;
    if (K) {
        DestroyAllThreads();
        StopSiblingWorker();
        ReleaseAllPool();
        CarryStorage(*K, *fresh); // capacity only (kernel/carried_storage.h)
        delete K;
        K = nullptr;
    }
    K = fresh;
    K->Opt = options;
    K->FreeRunning = options.RunMode == Mode::FreeRunning;
    K->Live = true;
    InitialiseScheduler();
    // A fresh copy of the real image, when one is in use.
    MapImageForKernel();
    for (const std::string &path : options.Keys)
        CreateKey(path);
    CreateSiblingDevice();
    SetPeerPresent(options.PeerPresent);
}

std::vector<Violation> Shutdown()
{
    EnsureKernel();
    if (K->Live) {
        DestroyAllThreads();
        StopSiblingWorker();
        CheckPoolAtTeardown();
        CheckReferencesAtTeardown();
        CheckRegistrationsAtTeardown();
        K->Live = false;
    }
    return K->Violations;
}

const Options &CurrentOptions()
{
    EnsureKernel();
    return K->Opt;
}

const std::vector<Violation> &Violations()
{
    EnsureKernel();
    return K->Violations;
}

void ClearViolations()
{
    EnsureKernel();
    Guard guard;
    K->Violations.clear();
}

void SetViolationObserver(std::function<void(const Violation &)> observer)
{
    EnsureKernel();
    Guard guard;
    K->ViolationObserver = std::move(observer);
}

void ExpectSurvivingPool(ULONG tag)
{
    EnsureKernel();
    Guard guard;
    K->SurvivingTags.insert(tag);
}

void ExpectSurvivingReferences(std::string_view deviceName)
{
    EnsureKernel();
    Guard guard;
    K->SurvivingReferenceDevices.insert(UpcaseNarrow(deviceName));
}

void SetTraceEnabled(bool enabled)
{
    EnsureKernel();
    Guard guard;
    K->Opt.TraceEnabled = enabled;
}

void SetRecording(bool enabled)
{
    EnsureKernel();
    Guard guard;
    K->Opt.TraceEnabled = enabled;
    K->Opt.RecordWaits = enabled;
    K->Opt.RecordRegistry = enabled;
    K->Opt.RecordPeerRequests = enabled;
}

const std::vector<TraceEvent> &Trace()
{
    HarnessEntry();
    return K->TraceLog;
}

void SetTraceObserver(std::function<void(const TraceEvent &)> observer)
{
    EnsureKernel();
    Guard guard;
    K->TraceObserver = std::move(observer);
}

const char *TraceKindName(TraceKind kind)
{
    switch (kind) {
    case TraceKind::Boot:
        return "boot";
    case TraceKind::Notify:
        return "notify";
    case TraceKind::Open:
        return "open";
    case TraceKind::Release:
        return "release";
    case TraceKind::Request:
        return "request";
    case TraceKind::Reg:
        return "reg";
    case TraceKind::Ioctl:
        return "ioctl";
    case TraceKind::Pnp:
        return "pnp";
    case TraceKind::Display:
        return "display";
    case TraceKind::Power:
        return "power";
    case TraceKind::Complete:
        return "complete";
    case TraceKind::Busy:
        return "busy";
    case TraceKind::Adapter:
        return "adapter";
    case TraceKind::System:
        return "system";
    }
    return "?";
}

} // namespace sim
