// Objects and I/O: device and file objects with reference counts, the
// object name space, device-control requests, and the simulated sibling
// frame driver behind \Device\KEVO-0.

#include <algorithm>

#include "record.h"

namespace sim::detail
{

namespace
{

constexpr char SiblingDeviceName[] = "\\Device\\KEVO-0";

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

__attribute__((noinline)) void ReportIrql(const char *routine, KIRQL irql, const char *limit)
{
    Violate(std::string(routine) + " at IRQL " + std::to_string(irql) + limit);
}

inline void CheckPassive(const char *routine)
{
    KIRQL irql = CurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL)
        ReportIrql(routine, irql, "");
}

inline void CheckApcOrBelow(const char *routine)
{
    KIRQL irql = CurrentThread()->Irql;
    if (irql > APC_LEVEL)
        ReportIrql(routine, irql, " (documented for APC_LEVEL and below)");
}

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

PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, std::string name, ULONG extensionSize,
                         DEVICE_TYPE type, ULONG characteristics, bool exclusive, bool sibling)
{
    auto device = std::make_unique<_DEVICE_OBJECT>();
    device->Header = ObjectHeader{ObjectKind::Device, 1, false};
    device->Driver = driver;
    device->Name = std::move(name);
    device->InNamespace = false;
    device->Initializing = !sibling;
    device->ExtensionSize = extensionSize;
    device->Extension.reset(new uint8_t[extensionSize ? extensionSize : 1]());
    device->Type = type;
    device->Characteristics = characteristics;
    device->Exclusive = exclusive;
    device->Sibling = sibling;
    PDEVICE_OBJECT pointer = device.get();
    K->KnownObjects.insert(pointer);
    K->DeviceObjects.push_back(std::move(device));
    return pointer;
}

// Follows symbolic links (a few levels) to a device in the name space.
PDEVICE_OBJECT LookUp(std::u16string name)
{
    for (int depth = 0; depth < 8; ++depth) {
        std::u16string upper = Upcase(name);
        auto device = K->Namespace.find(upper);
        if (device != K->Namespace.end())
            return device->second;
        auto link = K->Links.find(upper);
        if (link == K->Links.end())
            return nullptr;
        name = Widen(link->second.second);
    }
    return nullptr;
}

size_t ReplyLength(UCHAR command)
{
    switch (command) {
    case 1:
    case 6:
    case 7:
        return 2;
    case 4:
        return 1;
    default:
        return 0;
    }
}

// The frame's answer to a command.
struct ReplyBytes {
    uint8_t Bytes[2];
    size_t Length;
    operator std::span<const uint8_t>() const { return {Bytes, Length}; }
};

// The frame's answer to a command, as it stands now.
ReplyBytes Reply(UCHAR command)
{
    Kernel *k = K;
    switch (command) {
    case 1:
        return {{k->PanelType, k->PanelAux}, 2};
    case 4:
        return {{k->FrameMode, 0}, 1};
    case 6:
    case 7:
        return {{k->Input[0], k->Input[1]}, 2};
    default:
        return {{0, 0}, 0};
    }
}

// Completed requests wait in this line before their storage is built into
// a new request, so that a stale pointer to one is recognised as completed
// for at least this many requests after it.
constexpr size_t RetiredRequests = 64;

// Records of requests of kernels that are gone, for the next kernel (never
// destroyed: they stay reachable for leak checkers).
std::vector<PIRP> &SpareRequests()
{
    static auto *spares = new std::vector<PIRP>;
    return *spares;
}

// A request record (storage reused where it can be), registered as built.
PIRP NewIrp()
{
    Kernel *k = K;
    PIRP irp;
    if (k->RetiredIrps.size() > RetiredRequests) {
        irp = k->RetiredIrps.front();
        k->RetiredIrps.pop_front();
    } else if (!SpareRequests().empty()) {
        irp = SpareRequests().back();
        SpareRequests().pop_back();
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

bool ValidPeerRequest(const _IRP &irp)
{
    if (irp.Code != sim::PeerIoctlCode || irp.SystemBuffer.size() != 8)
        return false;
    const std::vector<uint8_t> &block = irp.SystemBuffer;
    if (block[0] != 1 || block[1] != 2 || block[2] != 0)
        return false;
    uint32_t tail; // bytes 4 to 7: zero
    memcpy(&tail, block.data() + 4, sizeof tail);
    if (tail != 0)
        return false;
    size_t reply = ReplyLength(block[3]);
    return reply != 0 && irp.OutputBuffer && irp.OutputLength >= reply;
}

void SetEventObject(PKEVENT event)
{
    __atomic_store_n(&event->Header.SignalState, 1, __ATOMIC_RELAXED);
    SignalObject(event);
}

bool InThreadStack(const Thread *thread, const void *address, size_t length)
{
    uintptr_t begin = (uintptr_t)address, base = (uintptr_t)thread->StackBase;
    return address && base && begin >= base && begin + length <= base + thread->StackSize;
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
        K->StackRequests++;
    }
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
    K->StackRequests--;
}

// Completes a request: the reply (on success) into the caller's buffer, the
// status record, the event; then the request is gone.
void CompleteIrp(PIRP irp, NTSTATUS status, std::span<const uint8_t> reply)
{
    Kernel *k = K;
    bool dead = false;
    if (irp->InStack) [[unlikely]] {
        const char *gone = nullptr;
        if (NT_SUCCESS(status) && !reply.empty() &&
            InReturnedFrame(irp, irp->OutputBuffer, reply.size()))
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
    if (NT_SUCCESS(status) && !reply.empty() && InDeadStack(irp->OutputBuffer, reply.size())) {
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
        if (NT_SUCCESS(status) && !reply.empty()) {
            WriteBytes(irp->OutputBuffer, reply.data(), reply.size());
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

void WakeSibling();

NTSTATUS SiblingDispatch(PIRP irp)
{
    Kernel *k = K;
    UCHAR command = irp->SystemBuffer.size() > 3 ? irp->SystemBuffer[3] : 0;
    NTSTATUS status;
    bool pending = false;
    using State = _DEVICE_OBJECT::PnpState;
    State state = irp->Target->Pnp;
    if (state == State::SurpriseRemoved || state == State::Removed)
        status = StatusNoSuchDevice; // the device is gone: new requests fail
    else if (state == State::RemovePending)
        status = StatusDeletePending;
    else if (!ValidPeerRequest(*irp))
        status = STATUS_INVALID_PARAMETER;
    else if (k->PeerCompletion == Completion::Fail)
        status = k->PeerFailStatus;
    else if (k->PeerCompletion == Completion::Pending || k->PeerCompletion == Completion::Later)
        status = STATUS_PENDING, pending = true;
    else
        status = STATUS_SUCCESS;

    k->PeerRequestCount++;
    PeerCommandCounts &counts = k->PeerCounts[command];
    counts.Sent++;
    if (pending)
        counts.Pending++;
    else if (!NT_SUCCESS(status))
        counts.Failed++;
    irp->RecordIndex = SIZE_MAX;
    if (k->Opt.RecordPeerRequests) {
        PeerRequest record{};
        record.Time = irp->Time;
        record.Code = irp->Code;
        for (size_t i = 0; i < 8 && i < irp->SystemBuffer.size(); ++i)
            record.Block[i] = irp->SystemBuffer[i];
        record.InputLength = (ULONG)irp->SystemBuffer.size();
        record.OutputLength = irp->OutputLength;
        record.Command = command;
        record.Status = status;
        irp->RecordIndex = k->PeerRequests.size();
        k->PeerRequests.push_back(record);
    }
    if (Tracing()) {
        TraceEvent event = NewEvent(irp->Time, TraceKind::Request);
        event.Command = command;
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Code = irp->Code;
        Emit(std::move(event));
    }
    if (pending) {
        k->PendingIrps.push_back(irp);
        NoteStackRequest(irp);
        if (k->PeerCompletion == Completion::Later) {
            irp->Due = irp->Time + (int64_t)k->PeerReplyDelayMs * TicksPerMs;
            WakeSibling();
        }
        return STATUS_PENDING;
    }
    CompleteIrp(irp, status, NT_SUCCESS(status) ? Reply(command) : ReplyBytes{{0, 0}, 0});
    return status;
}

// Completes one pending request with the frame's current answers (on
// success).
void CompletePending(PIRP irp, NTSTATUS status)
{
    UCHAR command = irp->SystemBuffer[3]; // CompleteIrp takes it off the list
    CompleteIrp(irp, status, NT_SUCCESS(status) ? Reply(command) : ReplyBytes{{0, 0}, 0});
}

// The request the sibling completes next on its own, or null.
PIRP NextDue()
{
    PIRP next = nullptr;
    for (PIRP irp : K->PendingIrps)
        if (irp->Due >= 0 && (next == nullptr || irp->Due < next->Due))
            next = irp;
    return next;
}

// The sibling's own thread (deterministic mode): it completes each late
// request when it is due and sleeps on its event while it has none, as a USB
// driver's completion runs in a context of its own, not the sender's.
void SiblingCompletionMain(PVOID)
{
    for (;;) {
        EnsureKernelNamed([] {
            PIRP next = NextDue();
            return next ? CompletingAccess(next) : IoAccess();
        });
        Kernel *k = K;
        __atomic_store_n(&k->SiblingWake.Header.SignalState, 0, __ATOMIC_RELAXED);
        PIRP next = NextDue();
        if (next == nullptr) {
            KeWaitForSingleObject(&k->SiblingWake, Executive, KernelMode, FALSE, nullptr);
            continue;
        }
        int64_t now = CurrentTime();
        if (next->Due > now) {
            LARGE_INTEGER interval;
            interval.QuadPart = -(next->Due - now);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            continue;
        }
        Guard guard;
        CompletePending(next, STATUS_SUCCESS);
    }
}

bool CompleteOldest(NTSTATUS status)
{
    Kernel *k = K;
    if (k->PendingIrps.empty())
        return false;
    PIRP irp = k->PendingIrps.front(); // CompleteIrp takes it off the list
    UCHAR command = irp->SystemBuffer[3];
    CompleteIrp(irp, status, NT_SUCCESS(status) ? Reply(command) : ReplyBytes{{0, 0}, 0});
    return true;
}

void SiblingWorkerMain()
{
    Kernel *k = K;
    std::unique_lock<std::mutex> lock(k->Mutex);
    while (!k->SiblingWorkerStop) {
        int64_t now = CurrentTime();
        int64_t delay = (int64_t)k->AutoCompleteMs * TicksPerMs;
        while (!k->PendingIrps.empty() && k->AutoCompleteMs &&
               k->PendingIrps.front()->Time + delay <= now)
            CompleteOldest(STATUS_SUCCESS);
        for (PIRP due = NextDue(); due != nullptr && due->Due <= now; due = NextDue())
            CompletePending(due, STATUS_SUCCESS);
        k->Changed.notify_all();
        k->Changed.wait_until(lock, RealTimeOf(now + TicksPerMs));
    }
}

// Lets the sibling's completion context know of a late request: its thread
// (started at the first one) in deterministic mode, its worker otherwise.
void WakeSibling()
{
    Kernel *k = K;
    if (k->FreeRunning) {
        if (!k->SiblingWorker.joinable()) {
            k->SiblingWorkerStop = false;
            k->SiblingWorker = std::thread(SiblingWorkerMain);
        }
        k->Changed.notify_all();
        return;
    }
    if (k->SiblingThread == nullptr) {
        KeInitializeEvent(&k->SiblingWake, NotificationEvent, FALSE);
        k->SiblingThread = StartKernelThread(SiblingCompletionMain, nullptr);
        return;
    }
    SetEventObject(&k->SiblingWake);
}

} // namespace

// A zero-timeout wait on the event of a pending peer request timed out: its
// caller found the request still outstanding.
void NoteBusyPeerRequest(const void *event)
{
    Kernel *k = K;
    Guard guard;
    for (PIRP irp : k->PendingIrps) {
        if (irp->Event != event)
            continue;
        UCHAR command = irp->SystemBuffer.size() > 3 ? irp->SystemBuffer[3] : 0;
        k->PeerCounts[command].Busy++;
        if (Tracing()) {
            TraceEvent trace = NewEvent(CurrentTime(), TraceKind::Busy);
            trace.Command = command;
            trace.Code = irp->Code;
            Emit(std::move(trace));
        }
        return;
    }
}

void CheckStackRequests(const void *frame)
{
    Thread *thread = CurrentThread();
    if (!thread->StackRequests)
        return;
    // Everything below the calling routine's own frame belongs to frames
    // that have returned.
    uintptr_t below = (uintptr_t)frame + 16;
    for (PIRP irp : K->PendingIrps)
        if (irp->InStack && irp->Thread == thread && below > irp->ReturnedBelow)
            irp->ReturnedBelow = below;
}

void AddToNamespace(PDEVICE_OBJECT device)
{
    K->Namespace[UpcaseWide(device->Name)] = device;
    device->InNamespace = true;
}

void RemoveFromNamespace(PDEVICE_OBJECT device)
{
    if (!device->InNamespace)
        return;
    K->Namespace.erase(UpcaseWide(device->Name));
    device->InNamespace = false;
}

void FailDeviceRequests(PDEVICE_OBJECT device, NTSTATUS status)
{
    std::vector<PIRP> mine;
    for (PIRP irp : K->PendingIrps)
        if (irp->Target == device)
            mine.push_back(irp);
    for (PIRP irp : mine)
        CompletePending(irp, status);
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

void FinishDriverEntryDevices(PDRIVER_OBJECT driver)
{
    for (auto &device : K->DeviceObjects)
        if (device->Driver == driver)
            device->Initializing = false;
}

PDEVICE_OBJECT CreatePortDevice(PDRIVER_OBJECT driver, std::string name, DEVICE_TYPE type,
                                bool exclusive)
{
    PDEVICE_OBJECT device = NewDevice(driver, std::move(name), 0, type, 0, exclusive, false);
    device->Initializing = false;
    AddToNamespace(device);
    return device;
}

void DeletePortDevice(PDEVICE_OBJECT device)
{
    Kernel *k = K;
    RemoveFromNamespace(device);
    k->KnownObjects.erase(device);
    std::erase_if(k->DeviceObjects, [device](const auto &kept) { return kept.get() == device; });
}

void KeepRequestStorage()
{
    Kernel *k = K;
    std::vector<PIRP> &spares = SpareRequests();
    k->Irps.ForEach([&spares](const void *irp, bool) { spares.push_back((PIRP)irp); });
    k->Irps.Clear();
    for (PIRP irp : k->RetiredIrps)
        spares.push_back(irp);
    k->RetiredIrps.clear();
}

void CreateSiblingDevice()
{
    K->SiblingDevice =
        NewDevice(nullptr, SiblingDeviceName, 0, FILE_DEVICE_UNKNOWN, 0, false, true);
}

void StartSiblingWorker()
{
    Kernel *k = K;
    if (!k->FreeRunning || k->SiblingWorker.joinable())
        return;
    k->SiblingWorkerStop = false;
    k->SiblingWorker = std::thread(SiblingWorkerMain);
}

void StopSiblingWorker()
{
    Kernel *k = K;
    if (!k->SiblingWorker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(k->Mutex);
        k->SiblingWorkerStop = true;
    }
    k->Changed.notify_all();
    k->SiblingWorker.join();
}

void CheckReferencesAtTeardown()
{
    Kernel *k = K;
    std::map<PDEVICE_OBJECT, LONG> fileReferences;
    for (auto &file : k->FileObjects) {
        if (file->Header.Dead)
            continue;
        fileReferences[file->Device]++;
        std::string upper = UpcaseNarrow(file->Device->Name);
        if (k->SurvivingReferenceDevices.count(upper))
            continue;
        Violate("reference leaked: a file object of " + file->Device->Name + " still holds " +
                std::to_string(file->Header.References) + " reference(s) at teardown");
    }
    for (auto &device : k->DeviceObjects) {
        LONG expected = 1 + fileReferences[device.get()];
        if (device->Header.References < expected)
            Violate("device " + device->Name + " lost more references than were taken (" +
                    std::to_string(device->Header.References) + " left, " +
                    std::to_string(expected) + " expected)");
    }
    k->Irps.ForEach([](const void *irp, bool) {
        if (!((PIRP)irp)->Sent)
            Violate("a request was built and never sent");
    });
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

std::vector<DeviceInfo> Devices()
{
    HarnessEntry();
    Guard guard;
    std::vector<DeviceInfo> list;
    for (auto &device : K->DeviceObjects) {
        if (device->Sibling && !device->InNamespace)
            continue;
        list.push_back(DeviceInfo{device->Name, device.get(), device->Driver, device->ExtensionSize,
                                  device->Type, device->Characteristics, device->Exclusive});
    }
    return list;
}

const std::vector<CreateDeviceCall> &CreateDeviceCalls()
{
    HarnessEntry();
    return K->CreateDeviceCalls;
}

void FailNextDeviceCreations(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailDeviceCreations = n;
    K->FailDeviceCreationsStatus = status;
}

const std::vector<SymbolicLinkCall> &SymbolicLinkCalls()
{
    HarnessEntry();
    return K->LinkCalls;
}

std::optional<std::string> SymbolicLinkTarget(std::string_view link)
{
    HarnessEntry();
    Guard guard;
    auto found = K->Links.find(UpcaseWide(link));
    if (found == K->Links.end())
        return std::nullopt;
    return found->second.second;
}

const std::vector<OpenCall> &OpenCalls()
{
    HarnessEntry();
    return K->OpenCalls;
}

void FailNextOpens(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailOpens = n;
    K->FailOpensStatus = status;
}

LONG ReferenceCount(const void *object)
{
    HarnessEntry();
    Guard guard;
    if (!K->KnownObjects.count(object))
        return -1;
    return ((const ObjectHeader *)object)->References;
}

size_t OpenFileObjects()
{
    HarnessEntry();
    Guard guard;
    size_t open = 0;
    for (auto &file : K->FileObjects)
        open += file->Header.Dead ? 0 : 1;
    return open;
}

void FailNextRequestBuilds(unsigned n)
{
    HarnessEntry();
    Guard guard;
    K->FailRequestBuilds = n;
}

void SetPeerPresent(bool present)
{
    HarnessEntry();
    Guard guard;
    if (K->SiblingDevice->Pnp != _DEVICE_OBJECT::PnpState::Started)
        return; // removed: only AddPeer brings a device back
    if (present)
        AddToNamespace(K->SiblingDevice);
    else
        RemoveFromNamespace(K->SiblingDevice);
}

NTSTATUS AddPeer()
{
    HarnessEntry();
    Guard guard;
    Kernel *k = K;
    NTSTATUS status = STATUS_SUCCESS;
    // The old device object keeps the name until its REMOVE.
    if (k->Namespace.count(UpcaseWide(SiblingDeviceName)))
        status = STATUS_OBJECT_NAME_COLLISION;
    else {
        CreateSiblingDevice();
        AddToNamespace(k->SiblingDevice);
    }
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::Pnp);
        event.Text = "add";
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Name = SiblingDeviceName;
        Emit(std::move(event));
    }
    return status;
}

void SetPeerCancelsRequests(bool cancels)
{
    HarnessEntry();
    Guard guard;
    K->PeerCancels = cancels;
}

bool PeerPresent()
{
    HarnessEntry();
    Guard guard;
    return K->SiblingDevice->InNamespace;
}

void SetFrameMode(UCHAR mode)
{
    HarnessEntry();
    Guard guard;
    K->FrameMode = mode;
}

void SetFramePanel(UCHAR type, UCHAR aux)
{
    HarnessEntryAs(IoAccess());
    Guard guard;
    K->PanelType = type;
    K->PanelAux = aux;
}

void SetFrameInput(UCHAR byte0, UCHAR byte1)
{
    HarnessEntryAs(IoAccess());
    Guard guard;
    K->Input[0] = byte0;
    K->Input[1] = byte1;
}

void SetPeerCompletion(Completion completion, NTSTATUS failStatus)
{
    HarnessEntry();
    Guard guard;
    K->PeerCompletion = completion;
    K->PeerFailStatus = failStatus;
}

void SetPeerReplyDelayMs(uint32_t ms)
{
    HarnessEntry();
    Guard guard;
    K->PeerReplyDelayMs = ms;
}

size_t PendingPeerRequests()
{
    HarnessEntry();
    Guard guard;
    return K->PendingIrps.size();
}

size_t CompletePeerRequests(NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    size_t completed = 0;
    while (CompleteOldest(status))
        ++completed;
    return completed;
}

bool CompleteOldestPeerRequest(NTSTATUS status)
{
    EnsureKernelNamed([] {
        return K->PendingIrps.empty() ? IoAccess() : CompletingAccess(K->PendingIrps.front());
    });
    DrainRunQueueIfIdle();
    Guard guard;
    return CompleteOldest(status);
}

void SetPeerAutoCompleteMs(uint32_t ms)
{
    HarnessEntry();
    {
        Guard guard;
        K->AutoCompleteMs = ms;
    }
    if (ms)
        StartSiblingWorker();
}

const std::vector<PeerRequest> &PeerRequests()
{
    HarnessEntry();
    return K->PeerRequests;
}

PeerCommandCounts PeerCommandCount(UCHAR command)
{
    EnsureKernel();
    Guard guard;
    return K->PeerCounts[command];
}

uint64_t PeerRequestCount()
{
    HarnessEntry();
    Guard guard;
    return K->PeerRequestCount;
}

} // namespace sim

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoCreateDevice");
    Kernel *k = K;
    Guard guard;
    CheckApcOrBelow("IoCreateDevice");
    std::string name = Narrow(ReadCounted(DeviceName));
    if (DeviceObject)
        __atomic_store_n(DeviceObject, (PDEVICE_OBJECT) nullptr, __ATOMIC_RELAXED);
    NTSTATUS status = STATUS_SUCCESS;
    if (!DeviceObject || !k->KnownObjects.count(DriverObject)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailDeviceCreations) {
        k->FailDeviceCreations--;
        status = k->FailDeviceCreationsStatus;
    } else if (!name.empty() && k->Namespace.count(UpcaseWide(name))) {
        status = STATUS_OBJECT_NAME_COLLISION;
    } else {
        PDEVICE_OBJECT device = NewDevice(DriverObject, name, DeviceExtensionSize, DeviceType,
                                          DeviceCharacteristics, Exclusive != 0, false);
        if (!name.empty())
            AddToNamespace(device);
        __atomic_store_n(DeviceObject, device, __ATOMIC_RELAXED);
    }
    k->CreateDeviceCalls.push_back(CreateDeviceCall{CurrentTime(), name, DeviceExtensionSize,
                                                    DeviceType, DeviceCharacteristics,
                                                    Exclusive != 0, status});
    return status;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoCreateSymbolicLink");
    Kernel *k = K;
    Guard guard;
    CheckPassive("IoCreateSymbolicLink");
    std::u16string link = ReadCounted(SymbolicLinkName);
    std::string device = Narrow(ReadCounted(DeviceName));
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string upper = Upcase(link);
    if (link.empty() || !DeviceName)
        status = STATUS_INVALID_PARAMETER;
    else if (k->Links.count(upper) || k->Namespace.count(upper))
        status = STATUS_OBJECT_NAME_COLLISION;
    else
        k->Links[upper] = {Narrow(link), device};
    k->LinkCalls.push_back(SymbolicLinkCall{CurrentTime(), Narrow(link), device, status});
    return status;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoGetDeviceObjectPointer");
    Kernel *k = K;
    Guard guard;
    CheckPassive("IoGetDeviceObjectPointer");
    std::u16string name = ReadCounted(ObjectName);
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = nullptr;
    if (!FileObject || !DeviceObject || name.empty()) {
        status = STATUS_INVALID_PARAMETER;
    } else if (k->FailOpens) {
        k->FailOpens--;
        status = k->FailOpensStatus;
    } else if (!(device = LookUp(name))) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (device->Initializing) {
        // DO_DEVICE_INITIALIZING: the I/O manager refuses every open.
        status = StatusNoSuchDevice;
        device = nullptr;
    } else if (device->Pnp != _DEVICE_OBJECT::PnpState::Started) {
        // Being removed: a query-remove that succeeded, or gone by surprise.
        status = device->Pnp == _DEVICE_OBJECT::PnpState::RemovePending ? StatusDeletePending
                                                                        : StatusNoSuchDevice;
        device = nullptr;
    } else {
        auto file = std::make_unique<_FILE_OBJECT>();
        file->Header = ObjectHeader{ObjectKind::File, 1, false};
        file->Device = device;
        device->Header.References++; // the file object's reference on its device
        device->OpenFiles++;
        PFILE_OBJECT pointer = file.get();
        k->KnownObjects.insert(pointer);
        k->FileObjects.push_back(std::move(file));
        __atomic_store_n(FileObject, pointer, __ATOMIC_RELAXED);
        __atomic_store_n(DeviceObject, device, __ATOMIC_RELAXED);
    }
    int64_t now = CurrentTime();
    k->OpenCalls.push_back(OpenCall{now, Narrow(name), DesiredAccess, status});
    if (Tracing()) {
        TraceEvent event = NewEvent(now, TraceKind::Open);
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        event.Name = Narrow(name);
        Emit(std::move(event));
    }
    return status;
}

void ObfReferenceObject(PVOID Object)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("ObfReferenceObject");
    Kernel *k = K;
    Guard guard;
    if (CurrentThread()->Irql > DISPATCH_LEVEL)
        Violate("ObfReferenceObject above DISPATCH_LEVEL");
    if (!k->KnownObjects.count(Object)) {
        Violate("ObfReferenceObject on an address that is not an object");
        return;
    }
    ObjectHeader *header = (ObjectHeader *)Object;
    if (header->Dead || header->References <= 0) {
        Violate("ObfReferenceObject on an object that has no reference left");
        return;
    }
    header->References++;
}

void ObfDereferenceObject(PVOID Object)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("ObfDereferenceObject");
    Kernel *k = K;
    Guard guard;
    if (CurrentThread()->Irql > DISPATCH_LEVEL)
        Violate("ObfDereferenceObject above DISPATCH_LEVEL");
    if (!k->KnownObjects.count(Object)) {
        Violate("ObfDereferenceObject on an address that is not an object");
        return;
    }
    ObjectHeader *header = (ObjectHeader *)Object;
    if (header->Dead || header->References <= 0) {
        Violate("reference dropped on an object that has none left (dropped twice)");
        return;
    }
    header->References--;
    if (header->Kind == ObjectKind::File) {
        PFILE_OBJECT file = (PFILE_OBJECT)Object;
        if (header->References == 0) {
            header->Dead = true;
            file->Device->Header.References--;
            file->Device->OpenFiles--;
            // A removal waiting for the device's file objects to close.
            if (file->Device->OpenFiles == 0 && file->Device->RemovalWaiting)
                SetEventObject(&file->Device->Closed);
        }
        if (file->Device->Sibling && Tracing()) {
            TraceEvent event = NewEvent(CurrentTime(), TraceKind::Release);
            event.Ok = true;
            event.Name = file->Device->Name;
            Emit(std::move(event));
        }
    } else if (header->References == 0) {
        header->Dead = true;
        Violate("the last reference on a device object was dropped by a caller that never "
                "took one");
    }
}

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
