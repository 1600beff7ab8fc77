// Power as the video port delivers it: a system transition reaches the
// adapter as a power request (HwGetPowerState, then HwSetPowerState), and the
// system's sleep itself (no thread runs, the clock jumps, the sibling's
// pending requests and the frame as they come back); the harness's direct
// Set/GetPowerState calls, and the enumeration of the adapter's children.

#include <algorithm>
#include <cstdio>
#include <optional>

#include "devices/devices.h"
#include "kernel/scheduler.h"
#include "record.h"
#include "videoport/port.h"

using namespace sim;
using namespace sim::detail;

namespace sim
{

namespace
{

void TracePower(ULONG state, VP_STATUS status)
{
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::Power);
        event.Code = state;
        event.Status = status;
        event.Ok = status == NO_ERROR;
        Emit(std::move(event));
    }
}

VP_STATUS AdapterPowerRequest(ULONG state)
{
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        if (!K->AdapterStarted || !K->HaveTable)
            return ErrorNotReady;
        table = K->Table;
        extension = K->Extension;
    }
    VIDEO_POWER_MANAGEMENT request{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    VP_STATUS status = CallMiniport("HwGetPowerState", [&] {
        return CallDriverThen(CallerOwnState{}, table.HwGetPowerState, extension,
                              DISPLAY_ADAPTER_HW_ID, &request);
    });
    if (status != NO_ERROR)
        return status;
    request = VIDEO_POWER_MANAGEMENT{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    status = CallMiniport("HwSetPowerState", [&] {
        return CallDriverThen(AdapterState{}, table.HwSetPowerState, extension,
                              DISPLAY_ADAPTER_HW_ID, &request);
    });
    Guard guard;
    K->AdapterPower = state;
    TracePower(state, status);
    return status;
}

// The harness's direct call (named what) of the power callback the table
// holds at member (HwSetPowerState or HwGetPowerState, named routine) for
// hwId, with request, a request for state; nothing without a loaded table or
// without that callback.
template <typename Callback>
std::optional<VP_STATUS> CallPowerCallback(const char *what, const char *routine,
                                           Callback VIDEO_HW_INITIALIZATION_DATA::*member,
                                           ULONG state, ULONG hwId, VIDEO_POWER_MANAGEMENT &request)
{
    HarnessEntryAs(Access{&AdapterObject, KernelReadPoint});
    request = VIDEO_POWER_MANAGEMENT{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    Callback callback;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table(what);
        if (!kept || !(kept->*member))
            return std::nullopt;
        callback = kept->*member;
        extension = K->Extension;
    }
    return CallMiniport(routine, [&] {
        return CallDriverThen(CallerOwnState{}, callback, extension, hwId, &request);
    });
}

// The system's transition as the trace records it.
void TraceSystem(const char *what)
{
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::System);
        event.Text = what;
        event.Ok = true;
        Emit(std::move(event));
    }
}

// The frame, powered off with the bus, comes back as a new device: the
// sibling's device is surprise-removed and every USB device interface is
// reported gone; once the removal has run its course the sibling creates
// its device again and the interfaces arrive again.
void ReenumerateFrame()
{
    std::vector<std::string> present = PresentInterfaces();
    bool sibling = PeerPresent();
    if (sibling)
        RemovePeer(PeerRemoval::Surprise);
    for (const std::string &name : present)
        PostInterfaceChange(GUID_DEVICE_INTERFACE_REMOVAL, GUID_DEVINTERFACE_USB_DEVICE, name);
    RunUntilIdle();
    if (sibling)
        AddPeer();
    for (const std::string &name : present)
        PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE, name);
}

} // namespace

VP_STATUS SetSystemPower(SystemPower transition, const Wake &wake)
{
    HarnessEntry();
    // The adapter has no children: only a system transition reaches the
    // miniport, for the adapter, as a query and then a set. Every other
    // state is entered from VideoPowerOn, and left to it.
    if (transition != SystemPower::Resume) {
        if (K->Asleep)
            return NO_ERROR;
        ULONG state = transition == SystemPower::Sleep ? VideoPowerOff : VideoPowerHibernate;
        VP_STATUS status = K->AdapterPower == VideoPowerOn ? AdapterPowerRequest(state) : NO_ERROR;
        Guard guard;
        TraceSystem(transition == SystemPower::Sleep ? "sleep" : "hibernate");
        // Free-running threads are the host's own: the flag does not stop
        // them.
        SleepSystem();
        return status;
    }
    if (!K->Asleep)
        return NO_ERROR;
    {
        Guard guard;
        ResumeSystem();
        TraceSystem("resume");
        // The sibling's stack answers the requests that waited out the sleep
        // before any thread runs: with the frame's answers, or failed; a
        // frame that comes back as a new device fails them as gone.
        if (K->SiblingDevice)
            FailDeviceRequests(K->SiblingDevice,
                               wake.FrameReenumerated ? StatusNoSuchDevice : wake.PendingStatus);
    }
    VP_STATUS status =
        K->AdapterPower != VideoPowerOn ? AdapterPowerRequest(VideoPowerOn) : NO_ERROR;
    if (wake.FrameReenumerated)
        ReenumerateFrame();
    return status;
}

VP_STATUS SetPowerState(ULONG state, ULONG hwId)
{
    VIDEO_POWER_MANAGEMENT request;
    std::optional<VP_STATUS> status =
        CallPowerCallback("SetPowerState", "HwSetPowerState",
                          &VIDEO_HW_INITIALIZATION_DATA::HwSetPowerState, state, hwId, request);
    if (!status)
        return ERROR_INSUFFICIENT_BUFFER;
    Guard guard;
    TracePower(state, *status);
    return *status;
}

VP_STATUS GetPowerState(ULONG state, ULONG hwId, VIDEO_POWER_MANAGEMENT *reply)
{
    VIDEO_POWER_MANAGEMENT request;
    std::optional<VP_STATUS> status =
        CallPowerCallback("GetPowerState", "HwGetPowerState",
                          &VIDEO_HW_INITIALIZATION_DATA::HwGetPowerState, state, hwId, request);
    if (!status)
        return ERROR_INSUFFICIENT_BUFFER;
    if (reply)
        *reply = request;
    return *status;
}

ChildResult EnumerateChild(ULONG childIndex)
{
    HarnessEntry();
    ChildResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("EnumerateChild");
        if (!kept || !kept->HwGetVideoChildDescriptor) {
            result.Status = ERROR_NO_MORE_DEVICES;
            return result;
        }
        table = *kept;
        extension = K->Extension;
    }
    uint8_t info[ChildEnumInfoSize] = {};
    ULONG header[3] = {ChildEnumInfoSize, (ULONG)result.Descriptor.size(), childIndex};
    memcpy(info, header, sizeof header);
    VIDEO_CHILD_TYPE type = (VIDEO_CHILD_TYPE)0;
    ULONG unused = 0;
    result.Status = CallMiniport("HwGetVideoChildDescriptor", [&] {
        return CallDriver(table.HwGetVideoChildDescriptor, extension, (PVIDEO_CHILD_ENUM_INFO)info,
                          &type, result.Descriptor.data(), &result.UId, &unused);
    });
    result.Type = type;
    return result;
}

} // namespace sim
