// The I/O manager's device-control requests: built, sent to the device's
// driver, completed into the caller's buffers, status record and event, and
// cancelled with the thread that built them; the verifier's checks of their
// buffers in a stack frame that has returned or a thread that has ended.

#include <algorithm>

#include "kernel/carried_storage.h"
#include "record.h"

namespace sim::detail
{

namespace
{

// Whether a file object still holds a reference on the device: the caller's
// right to use a device of another driver that it opened by name.
inline bool HeldOpen(PDEVICE_OBJECT device)
{
    return device->OpenFiles != 0;
}

__attribute__((noinline)) void ReportUnreferenced(PDEVICE_OBJECT device, const char *routine)
{
    Violate(std::string(routine) + " for " + device->Name +
            " after its opener dropped its reference: the device may be gone");
}

// A device of another driver (the sibling's) may be used only while its
// opener's reference holds it; once that is dropped, the device can be gone.
inline void CheckReferenced(PDEVICE_OBJECT device, const char *routine)
{
    if (device->Driver == nullptr && !HeldOpen(device))
        ReportUnreferenced(device, routine);
}

// A sibling whose dispatch routine is slow keeps the sender inside
// IofCallDriver this long before it looks at the request: the kernel's
// wait, on the sender's context.
void SlowDispatch(PDEVICE_OBJECT device)
{
    uint32_t ms;
    {
        Guard guard;
        bool sibling = K->KnownObjects.count(device) && device->Header.Kind == ObjectKind::Device &&
                       device->Sibling;
        ms = sibling ? K->PeerDispatchMs : 0;
    }
    if (ms == 0)
        return;
    KernelWait wait;
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)ms * TicksPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Completed requests wait in this line before their storage is built into
// a new request, so that a stale pointer to one is recognised as completed
// for at least this many requests after it.
constexpr size_t RetiredRequests = 64;

// A request record (storage reused where it can be), registered as built.
PIRP NewIrp()
{
    Kernel *k = K;
    PIRP irp;
    if (k->RetiredIrps.size() > RetiredRequests) {
        irp = k->RetiredIrps.front();
        k->RetiredIrps.pop_front();
    } else if (PIRP spare = TakeSpareRequest()) {
        irp = spare;
    } else {
        irp = new _IRP{};
    }
    std::vector<uint8_t> buffer = std::move(irp->SystemBuffer);
    *irp = _IRP{};
    irp->SystemBuffer = std::move(buffer);
    k->Irps.Add(irp, true);
    return irp;
}

// The request is complete: no longer a built request.
void RetireIrp(PIRP irp)
{
    Kernel *k = K;
    if (k->Irps.Remove(irp))
        k->RetiredIrps.push_back(irp);
}

bool InThreadStack(const Thread *thread, const void *address, size_t length)
{
    uintptr_t begin = (uintptr_t)address, base = (uintptr_t)thread->StackBase;
    return address && base && begin >= base && begin + length <= base + thread->StackSize;
}

// Whether a buffer of a request lies in a frame of the still running thread
// that has returned: below where a later kernel call of the thread found its
// caller's frame, or below where the thread now waits.
bool InReturnedFrame(PIRP irp, const void *address, size_t length)
{
    Thread *thread = irp->Thread;
    if (!irp->InStack || thread->Finished || thread->Ending ||
        !InThreadStack(thread, address, length))
        return false;
    uintptr_t end = (uintptr_t)address + length;
    return end <= irp->ReturnedBelow ||
           (thread->Blocked && thread != K->Current && end <= (uintptr_t)thread->SavedSp);
}

void ForgetStackRequest(PIRP irp)
{
    if (!irp->InStack)
        return;
    irp->InStack = false;
    irp->Thread->StackRequests--;
    K->CallerChecks -= StackRequestUnit;
}

} // namespace

// What the interleaving explorer orders the I/O manager's requests by: the
// requests, the sibling's pending list and the frame's answers are one object.
const char IoObject = 0;

// A step that may complete the request: the requests, its event and its
// reply buffer in the driver's memory. The sibling's completion thread is
// woken by an event of its own: a request that may wake it is named by any
// of the kernel's state.
Access CompletingAccess(PIRP irp)
{
    if (K->PeerCompletion == Completion::Later)
        return Access{};
    return Access{&IoObject, KernelCallPoint, irp->Event, irp->OutputBuffer, irp->OutputLength};
}

Access IoAccess()
{
    return Access{&IoObject, KernelCallPoint};
}

void SetEventObject(PKEVENT event)
{
    __atomic_store_n(&event->Header.SignalState, 1, __ATOMIC_RELAXED);
    SignalObject(event);
}

// A pending request whose status record, event or reply lies in the stack of
// the thread that sent it: counted, so that every kernel call of that thread
// can tell whether the frame holding them has returned meanwhile.
void NoteStackRequest(PIRP irp)
{
    Thread *thread = irp->Thread;
    if (!thread || thread->Harness || K->FreeRunning)
        return;
    if (InThreadStack(thread, irp->IoStatus, sizeof(IO_STATUS_BLOCK)) ||
        InThreadStack(thread, irp->Event, sizeof(KEVENT)) ||
        InThreadStack(thread, irp->OutputBuffer, irp->OutputLength)) {
        irp->InStack = true;
        irp->ReturnedBelow = 0;
        thread->StackRequests++;
        K->CallerChecks += StackRequestUnit;
    }
}

// Completes a request: the reply (if any, also with a failure) into the
// caller's buffer, the status record, the event; then the request is gone.
void CompleteIrp(PIRP irp, NTSTATUS status, std::span<const uint8_t> reply)
{
    Kernel *k = K;
    bool dead = false;
    if (irp->InStack) [[unlikely]] {
        const char *gone = nullptr;
        if (!reply.empty() && InReturnedFrame(irp, irp->OutputBuffer, reply.size()))
            gone = "a reply buffer";
        else if (InReturnedFrame(irp, irp->IoStatus, sizeof(IO_STATUS_BLOCK)))
            gone = "a status record";
        else if (InReturnedFrame(irp, irp->Event, sizeof(KEVENT)))
            gone = "an event";
        if (gone) {
            Violate(std::string("a pending request completed into ") + gone +
                    " in a stack frame that has returned, on thread " +
                    std::to_string(irp->Thread->Id) + ", which still runs");
            dead = true;
        }
        ForgetStackRequest(irp);
    }
    if (!reply.empty() && InDeadStack(irp->OutputBuffer, reply.size())) {
        Violate("a pending request completed into a reply buffer in the stack of a thread that "
                "has ended");
        dead = true;
    }
    if (irp->IoStatus && InDeadStack(irp->IoStatus, sizeof(IO_STATUS_BLOCK))) {
        Violate("a pending request completed into a status record in the stack of a thread "
                "that has ended");
        dead = true;
    }
    if (irp->Event && InDeadStack(irp->Event, sizeof(KEVENT))) {
        Violate("a pending request signalled an event in the stack of a thread that has ended");
        dead = true;
    }
    ULONG_PTR information = 0;
    if (!dead) {
        // The reply buffer is the caller's own memory, described by the
        // request's MDL: what the sibling wrote there stays, whatever the
        // status; only a success reports it in Information.
        if (!reply.empty()) {
            WriteBytes(irp->OutputBuffer, reply.data(), reply.size());
            if (NT_SUCCESS(status))
                information = reply.size();
        }
        if (irp->IoStatus) {
            __atomic_store_n(&irp->IoStatus->Information, information, __ATOMIC_RELAXED);
            __atomic_store_n(&irp->IoStatus->Status, status, __ATOMIC_RELAXED);
        }
        if (irp->Event)
            SetEventObject(irp->Event);
    }
    if (auto pending = std::find(k->PendingIrps.begin(), k->PendingIrps.end(), irp);
        pending != k->PendingIrps.end()) {
        k->PendingIrps.erase(pending);
        UCHAR command = irp->SystemBuffer.size() > 3 ? irp->SystemBuffer[3] : 0;
        k->PeerCounts[command].Late++;
        if (Tracing()) {
            TraceEvent event = NewEvent(CurrentTime(), TraceKind::Complete);
            event.Command = command;
            event.Status = status;
            event.Ok = NT_SUCCESS(status);
            event.Code = irp->Code;
            Emit(std::move(event));
        }
    }
    if (irp->RecordIndex != SIZE_MAX && irp->RecordIndex < k->PeerRequests.size()) {
        PeerRequest &record = k->PeerRequests[irp->RecordIndex];
        record.Completed = true;
        record.CompletionTime = CurrentTime();
        record.CompletionStatus = status;
    }
    RetireIrp(irp);
}

void CheckStackRequests(const void *callerTop)
{
    Thread *thread = CurrentThread();
    if (!thread->StackRequests)
        return;
    // Everything below the caller's stack pointer at its call of the kernel
    // routine belongs to frames that have returned.
    uintptr_t below = (uintptr_t)callerTop;
    for (PIRP irp : K->PendingIrps)
        if (irp->InStack && irp->Thread == thread && below > irp->ReturnedBelow)
            irp->ReturnedBelow = below;
}

void CancelThreadIo(Thread *thread)
{
    Kernel *k = K;
    std::vector<PIRP> mine;
    k->Irps.ForEach([&](const void *pointer, bool) {
        PIRP irp = (PIRP)pointer;
        if (irp->Thread == thread)
            mine.push_back(irp);
    });
    std::sort(mine.begin(), mine.end(), [](PIRP a, PIRP b) { return a->Sequence < b->Sequence; });
    for (PIRP irp : mine) {
        if (!irp->Sent) {
            Violate("a request was built and never sent by a thread that has ended");
            RetireIrp(irp);
        } else if (k->PeerCancels) {
            // The I/O manager cancels the thread's requests and waits for
            // them before the thread goes; the start routine has returned,
            // so a status record or event in its frames is already gone.
            CompleteIrp(irp, StatusCancelled, {});
        }
        // A sibling without a cancel routine: the I/O manager stops waiting
        // and the request completes later, after the stack is gone.
    }
}

Access ThreadEndAccess(Thread *thread)
{
    bool any = false;
    K->Irps.ForEach(
        [&](const void *pointer, bool) { any = any || ((PIRP)pointer)->Thread == thread; });
    // With requests of its own left, it may complete them and signal their
    // events; without, it only ends its part in the requests' bookkeeping.
    return any ? Access{} : IoAccess();
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

void FailNextRequestBuilds(unsigned n)
{
    HarnessEntry();
    Guard guard;
    K->FailRequestBuilds = n;
}

} // namespace sim

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    EnsureKernelFor(&IoObject);
    KVR_SIM_CHECK_CALLER("IoBuildDeviceIoControlRequest");
    Kernel *k = K;
    Guard guard;
    CheckApcOrBelow("IoBuildDeviceIoControlRequest");
    if (k->FailRequestBuilds) {
        k->FailRequestBuilds--;
        UCHAR command = InputBuffer && InputBufferLength > 3
                            ? __atomic_load_n((const UCHAR *)InputBuffer + 3, __ATOMIC_RELAXED)
                            : 0;
        k->PeerCounts[command].NotBuilt++;
        if (Tracing()) {
            TraceEvent event = NewEvent(CurrentTime(), TraceKind::Request);
            event.NoBuild = true;
            event.Code = IoControlCode;
            event.Command = command;
            Emit(std::move(event));
        }
        return nullptr;
    }
    if (!k->KnownObjects.count(DeviceObject) ||
        ((ObjectHeader *)DeviceObject)->Kind != ObjectKind::Device) {
        Violate("IoBuildDeviceIoControlRequest for an address that is not a device object");
        return nullptr;
    }
    CheckReferenced(DeviceObject, "IoBuildDeviceIoControlRequest");
    CheckWithinPoolBlock("the input of IoBuildDeviceIoControlRequest", InputBuffer,
                         InputBuffer ? InputBufferLength : 0);
    PIRP irp = NewIrp();
    irp->Code = IoControlCode;
    irp->Thread = CurrentThread();
    irp->Target = DeviceObject;
    size_t inputLength = InputBuffer ? InputBufferLength : 0;
    if (irp->SystemBuffer.size() != inputLength) // a reused record has the usual size
        irp->SystemBuffer.resize(inputLength);
    ReadBytes(irp->SystemBuffer.data(), InputBuffer, irp->SystemBuffer.size());
    irp->OutputBuffer = OutputBuffer;
    irp->OutputLength = OutputBuffer ? OutputBufferLength : 0;
    irp->Event = Event;
    irp->IoStatus = IoStatusBlock;
    irp->Internal = InternalDeviceIoControl != 0;
    irp->Sent = false;
    irp->RecordIndex = SIZE_MAX;
    irp->Due = -1;
    irp->Sequence = ++k->IrpSequence;
    irp->Time = CurrentTime();
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // A request built and not yet sent is the caller's alone: its event and
    // reply buffer stay as they are until it is sent.
    EnsureKernelNamed([Irp] {
        bool mine = K->Irps.Find(Irp) && !Irp->Sent;
        return mine ? CompletingAccess(Irp) : Access{};
    });
    KVR_SIM_CHECK_CALLER("IofCallDriver");
    Kernel *k = K;
    SlowDispatch(DeviceObject);
    Guard guard;
    if (CurrentThread()->Irql > DISPATCH_LEVEL)
        Violate("IofCallDriver above DISPATCH_LEVEL");
    if (!k->Irps.Find(Irp)) {
        Violate("IofCallDriver with a request that was not built or is already complete");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->Sent) {
        Violate("IofCallDriver with a request that was already sent");
        return STATUS_INVALID_PARAMETER;
    }
    Irp->Sent = true;
    Irp->Time = CurrentTime();
    PDEVICE_OBJECT target = Irp->Target;
    if (DeviceObject != target)
        Violate("IofCallDriver to a device other than the request's target");
    if (target->Pnp == _DEVICE_OBJECT::PnpState::Removed) {
        // Deleted at its IRP_MN_REMOVE_DEVICE: on Windows the object may be
        // freed memory by now. The request fails; it never reaches a driver.
        Violate("a request was sent to " + target->Name +
                " after its IRP_MN_REMOVE_DEVICE: the device object is deleted");
        CompleteIrp(Irp, StatusNoSuchDevice, {});
        return StatusNoSuchDevice;
    }
    CheckReferenced(target, "IofCallDriver");
    if (target->Sibling)
        return SiblingDispatch(Irp);
    // The driver's own devices have no dispatch routine for this request.
    CompleteIrp(Irp, StatusInvalidDeviceRequest, {});
    return StatusInvalidDeviceRequest;
}

} // extern "C"
