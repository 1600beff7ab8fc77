// The simulated sibling frame driver behind \\Device\\KEVO-0, and the frame
// it talks to: it answers the peer code's commands at once, fails them,
// leaves them pending until the harness completes them, or completes them
// later from a thread of its own, as a USB function driver does.

#include <algorithm>

#include "record.h"

namespace sim::detail
{

namespace
{

constexpr char SiblingDeviceName[] = "\\Device\\KEVO-0";

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

void WakeSibling();

// Completes one pending request with the frame's current answers (on
// success): the sibling's own completion, and the failure of the requests of
// a removed device, whose frame sent nothing.
void CompletePending(PIRP irp, NTSTATUS status)
{
    UCHAR command = irp->SystemBuffer[3]; // CompleteIrp takes it off the list
    CompleteIrp(irp, status, NT_SUCCESS(status) ? Reply(command) : ReplyBytes{{0, 0}, 0});
}

// A request the frame answered: its bytes are in the reply buffer (the
// request's MDL, METHOD_IN_DIRECT) before it completes, also when it then
// fails.
void CompleteAnswered(PIRP irp, NTSTATUS status)
{
    UCHAR command = irp->SystemBuffer[3]; // CompleteIrp takes it off the list
    CompleteIrp(irp, status, Reply(command));
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
    CompleteAnswered(k->PendingIrps.front(), status);
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

NTSTATUS SiblingDispatch(PIRP irp)
{
    Kernel *k = K;
    UCHAR command = irp->SystemBuffer.size() > 3 ? irp->SystemBuffer[3] : 0;
    NTSTATUS status;
    bool pending = false;
    // The frame answered: its bytes are in the reply buffer, also when the
    // request fails. A request refused before it reached the frame (the
    // device gone, a request it does not take) has nothing written.
    bool answered = false;
    using State = _DEVICE_OBJECT::PnpState;
    State state = irp->Target->Pnp;
    if (state == State::SurpriseRemoved || state == State::Removed)
        status = StatusNoSuchDevice; // the device is gone: new requests fail
    else if (state == State::RemovePending)
        status = StatusDeletePending;
    else if (!ValidPeerRequest(*irp))
        status = STATUS_INVALID_PARAMETER;
    else if (k->PeerCompletion == Completion::Fail)
        status = k->PeerFailStatus, answered = true;
    else if (k->PeerCompletion == Completion::Pending || k->PeerCompletion == Completion::Later)
        status = STATUS_PENDING, pending = true;
    else
        status = STATUS_SUCCESS, answered = true;

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
        record.Event = irp->Event;
        record.StatusRecord = irp->IoStatus;
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
    CompleteIrp(irp, status, answered ? Reply(command) : ReplyBytes{{0, 0}, 0});
    return status;
}

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

void FailDeviceRequests(PDEVICE_OBJECT device, NTSTATUS status)
{
    std::vector<PIRP> mine;
    for (PIRP irp : K->PendingIrps)
        if (irp->Target == device)
            mine.push_back(irp);
    for (PIRP irp : mine)
        CompletePending(irp, status);
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

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

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

void SetPeerDispatchMs(uint32_t ms)
{
    HarnessEntry();
    Guard guard;
    K->PeerDispatchMs = ms;
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
