// The removal of the sibling's device as the plug-and-play manager runs it:
// surprise, orderly or refused; the target-device notifications to the
// registrations, the wait for the device's file objects to close, and the
// device's REMOVE.

#include <algorithm>
#include <optional>

#include "record.h"

namespace sim::detail
{

namespace
{

// Calls every target-device registration on the device with the event, as
// the registrations stand when the delivery begins (a callback may
// unregister, and IoUnregisterPlugPlayNotification does not stop a delivery
// under way). Returns the first failure status, or success.
NTSTATUS NotifyTarget(PDEVICE_OBJECT device, const GUID &event, bool stopAtFailure)
{
    std::optional<Targets> targets;
    {
        Guard guard;
        targets.emplace(EventCategoryTargetDeviceChange, device);
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (size_t i = 0; i < targets->Size(); ++i) {
        const PnpRegistration &registration = (*targets)[i];
        TARGET_DEVICE_REMOVAL_NOTIFICATION notification;
        notification.Version = 1;
        notification.Size = sizeof notification;
        notification.Event = event;
        notification.FileObject = registration.TargetFile;
        NTSTATUS status = CallRegistration(registration, &notification);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
            if (stopAtFailure)
                break;
        }
    }
    return result;
}

// Waits on the plug-and-play thread until the device's last file object is
// closed: its REMOVE is not sent before. The event is made ready before the
// count is looked at: KeInitializeEvent is a kernel routine, where the
// interleaving explorer may run another thread, which could close the last
// file object between the look and the mark unseen.
void WaitUntilClosed(PDEVICE_OBJECT device)
{
    KeInitializeEvent(&device->Closed, NotificationEvent, FALSE);
    {
        Guard guard;
        if (device->OpenFiles == 0)
            return;
        device->RemovalWaiting = true;
    }
    KeWaitForSingleObject(&device->Closed, Executive, KernelMode, FALSE, nullptr);
    Guard guard;
    device->RemovalWaiting = false;
}

// IRP_MN_REMOVE_DEVICE: the sibling fails what it still holds and deletes the
// device, whose name goes with it (no file object refers to it any more). A
// target-device registration still on it was left behind by its driver: the
// remove-complete callback is where it is removed.
void SendRemove(PDEVICE_OBJECT device, size_t record)
{
    Guard guard;
    Kernel *k = K;
    FailDeviceRequests(device, StatusNoSuchDevice);
    device->Pnp = _DEVICE_OBJECT::PnpState::Removed;
    RemoveFromNamespace(device);
    k->PeerRemovals[record].RemoveTime = CurrentTime();
    TracePnp("remove", device);
    for (size_t index : k->ActiveRegistrations) {
        const PnpRegistration &registration = k->Registrations[index];
        if (registration.Category == EventCategoryTargetDeviceChange &&
            registration.TargetDevice == device)
            Violate("a target-device registration was left on " + device->Name +
                    " at its IRP_MN_REMOVE_DEVICE, on a file object that is closed: the "
                    "remove-complete callback must unregister it");
    }
}

void CancelRemoval(PDEVICE_OBJECT device, size_t record, const char *reason)
{
    {
        Guard guard;
        device->Pnp = _DEVICE_OBJECT::PnpState::Started;
        K->PeerRemovals[record].Cancelled = true;
        K->PeerRemovals[record].CancelReason = reason;
        TracePnp("remove-cancelled", device, STATUS_SUCCESS, reason);
    }
    NotifyTarget(device, GUID_TARGET_DEVICE_REMOVE_CANCELLED, false);
}

// The start routine of the plug-and-play thread that runs one removal.
void RunRemoval(PVOID context)
{
    RemovalWork work = *(RemovalWork *)context;
    PDEVICE_OBJECT device = work.Device;
    if (work.How == sim::PeerRemoval::Surprise) {
        {
            Guard guard;
            device->Pnp = _DEVICE_OBJECT::PnpState::SurpriseRemoved;
            TracePnp("surprise-removal", device);
            FailDeviceRequests(device, StatusNoSuchDevice);
        }
        {
            Guard guard;
            TracePnp("remove-complete", device);
        }
        NotifyTarget(device, GUID_TARGET_DEVICE_REMOVE_COMPLETE, false);
        WaitUntilClosed(device);
        SendRemove(device, work.Record);
        return;
    }
    {
        Guard guard;
        TracePnp("query-remove", device);
    }
    if (!NT_SUCCESS(NotifyTarget(device, GUID_TARGET_DEVICE_QUERY_REMOVE, true))) {
        CancelRemoval(device, work.Record, "vetoed by a notification callback");
        return;
    }
    if (work.QueryMs != 0) {
        // IRP_MN_QUERY_REMOVE_DEVICE down the sibling's stack.
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)work.QueryMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    bool open;
    {
        Guard guard;
        open = device->OpenFiles != 0;
    }
    if (open) {
        // Handles left open on the device make the query-remove fail.
        CancelRemoval(device, work.Record, "file objects still open");
        return;
    }
    if (work.How == sim::PeerRemoval::Refused) {
        CancelRemoval(device, work.Record, "refused by the device's stack");
        return;
    }
    {
        Guard guard;
        device->Pnp = _DEVICE_OBJECT::PnpState::RemovePending;
        TracePnp("remove-complete", device);
    }
    NotifyTarget(device, GUID_TARGET_DEVICE_REMOVE_COMPLETE, false);
    WaitUntilClosed(device);
    SendRemove(device, work.Record);
}

} // namespace

void TracePnp(const char *what, PDEVICE_OBJECT device, NTSTATUS status, std::string detail)
{
    if (!Tracing())
        return;
    TraceEvent event = NewEvent(CurrentTime(), TraceKind::Pnp);
    event.Text = what;
    event.Status = status;
    event.Ok = NT_SUCCESS(status);
    event.Name = detail.empty() ? device->Name : std::move(detail);
    Emit(std::move(event));
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

void RemovePeer(PeerRemoval how, uint32_t queryMs)
{
    HarnessEntry();
    Guard guard;
    Kernel *k = K;
    PeerRemovalRecord record;
    record.Start = CurrentTime();
    record.How = how;
    k->PeerRemovals.push_back(record);
    if (k->SiblingDevice->Pnp != _DEVICE_OBJECT::PnpState::Started) {
        k->PeerRemovals.back().Cancelled = true;
        k->PeerRemovals.back().CancelReason = "no started device";
        return;
    }
    auto work = std::make_unique<RemovalWork>();
    *work = RemovalWork{k->SiblingDevice, how, k->PeerRemovals.size() - 1, queryMs};
    if (StartKernelThread(RunRemoval, work.get()))
        k->Removals.push_back(std::move(work));
}

const std::vector<PeerRemovalRecord> &PeerRemovals()
{
    HarnessEntry();
    return K->PeerRemovals;
}

} // namespace sim
