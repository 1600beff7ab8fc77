// Plug and play: notification registrations, the set of present USB device
// interfaces, and the delivery of interface and hardware-profile changes.
//
// Callbacks run on the context that causes the event: the harness's (or, in
// free-running mode, whichever thread calls), and for the arrivals of
// interfaces that are already present, the registering thread, before
// IoRegisterPlugPlayNotification returns; or, as SetExistingArrivals asks,
// twice, and partly from a plug-and-play thread of the kernel's own after
// the registration has returned.

#include <algorithm>

#include "internal.h"

namespace sim::detail
{

namespace
{

constexpr char UsbClassText[] = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

struct HardwareProfileChange {
    USHORT Version;
    USHORT Size;
    GUID Event;
};

bool SameGuid(const GUID &a, const GUID &b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string KindOf(const GUID &event)
{
    if (SameGuid(event, GUID_DEVICE_INTERFACE_ARRIVAL))
        return "arrival";
    if (SameGuid(event, GUID_DEVICE_INTERFACE_REMOVAL))
        return "removal";
    return "other";
}

std::vector<uint8_t> NameBytes(std::string_view name)
{
    std::vector<uint8_t> bytes(2 * name.size());
    for (size_t i = 0; i < name.size(); ++i)
        bytes[2 * i] = (uint8_t)name[i];
    return bytes;
}

// The name as the trace shows it: its characters narrowed, as Narrow does.
void NameTextInto(std::string &text, std::span<const uint8_t> bytes, bool nullBuffer)
{
    text.resize(nullBuffer ? 0 : bytes.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = (char16_t)(bytes[2 * i] | bytes[2 * i + 1] << 8);
        text[i] = c < 0x100 ? (char)c : '?';
    }
}

// Calls one registration's callback with an interface notification. The
// name's buffer has exactly the bytes given, so a read past them is caught.
void CallInterfaceCallback(const PnpRegistration &registration, const GUID &event,
                           const GUID &interfaceClass, std::span<const uint8_t> nameBytes,
                           bool nullBuffer)
{
    size_t length = nameBytes.size() > 0xFFFF ? 0xFFFF : nameBytes.size();
    std::unique_ptr<uint8_t[]> buffer;
    if (!nullBuffer) {
        buffer.reset(new uint8_t[length ? length : 0]);
        if (length)
            memcpy(buffer.get(), nameBytes.data(), length);
    }
    UNICODE_STRING name;
    name.Length = (USHORT)length;
    name.MaximumLength = (USHORT)length;
    name.Buffer = nullBuffer ? nullptr : (PWSTR)buffer.get();
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification;
    notification.Version = 1;
    notification.Size = sizeof notification;
    notification.Event = event;
    notification.InterfaceClassGuid = interfaceClass;
    notification.SymbolicLinkName = &name;
    Thread *thread = CurrentThread();
    KIRQL irql = thread->Irql;
    unsigned owned = thread->MutexesOwned;
    NTSTATUS status;
    {
        CallOut call;
        status = registration.Callback(&notification, registration.Context);
    }
    Guard guard;
    if (thread->Irql != irql)
        Violate("a notification callback returned at IRQL " + std::to_string(thread->Irql) +
                ", called at " + std::to_string(irql));
    // The plug-and-play manager calls from its system worker threads, which
    // stop the machine when a callback returns owning a mutex
    // (SYSTEM_EXIT_OWNED_MUTEX): nobody would ever release it.
    if (thread->MutexesOwned > owned)
        Violate("a notification callback returned owning a mutex");
    K->NotificationResults.push_back(status);
}

std::vector<PnpRegistration> ActiveOf(IO_NOTIFICATION_EVENT_CATEGORY category)
{
    std::vector<PnpRegistration> list;
    for (size_t index : K->ActiveRegistrations)
        if (K->Registrations[index].Category == category)
            list.push_back(K->Registrations[index]);
    return list;
}

// The event is built in the kernel's reused record (the observer sees it
// there; the log, when kept, gets a copy).
void TraceNotify(const GUID &event, std::span<const uint8_t> nameBytes, bool nullBuffer)
{
    if (!Tracing())
        return;
    TraceEvent &trace = ReusedEvent(CurrentTime(), TraceKind::Notify);
    trace.Ok = true;
    trace.Text.assign(KindOf(event));
    NameTextInto(trace.Name, nameBytes, nullBuffer);
    EmitReused(trace);
}

// Delivers an interface change to the device-interface registrations; with
// onlyClass, to those of that class only.
void DeliverInterfaceChange(const GUID &event, const GUID &interfaceClass,
                            std::span<const uint8_t> nameBytes, bool nullBuffer, bool onlyClass)
{
    std::vector<PnpRegistration> targets;
    {
        Guard guard;
        TraceNotify(event, nameBytes, nullBuffer);
        targets = ActiveOf(EventCategoryDeviceInterfaceChange);
    }
    for (const PnpRegistration &registration : targets)
        if (!onlyClass || SameGuid(registration.InterfaceClass, interfaceClass))
            CallInterfaceCallback(registration, event, interfaceClass, nameBytes, nullBuffer);
}

void ReportExistingArrival(const PnpRegistration &record, const std::string &name)
{
    std::vector<uint8_t> bytes = NameBytes(name);
    {
        Guard guard;
        TraceNotify(GUID_DEVICE_INTERFACE_ARRIVAL, bytes, false);
    }
    CallInterfaceCallback(record, GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                          bytes, false);
}

// The start routine of a plug-and-play thread: reports the arrivals left for
// after the registration, then ends.
void ReportLaterArrivals(PVOID context)
{
    auto *later = (LaterArrivals *)context;
    if (later->DelayMs) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)later->DelayMs * TicksPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    for (const std::string &name : later->Names)
        ReportExistingArrival(later->Record, name);
}

} // namespace

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

std::string UsbInterfaceName(std::string_view vid, std::string_view pid, std::string_view instance)
{
    std::string name;
    name.reserve(12 + vid.size() + 5 + pid.size() + 1 + instance.size() + 1 + sizeof UsbClassText -
                 1);
    name += "\\??\\USB#VID_";
    name += vid;
    name += "&PID_";
    name += pid;
    name += "#";
    name += instance;
    name += "#";
    name += UsbClassText;
    return name;
}

void PlugUsb(std::string_view vid, std::string_view pid, std::string_view instance)
{
    HarnessEntry();
    std::string name = UsbInterfaceName(vid, pid, instance);
    {
        Guard guard;
        auto &present = K->PresentInterfaces;
        if (std::find(present.begin(), present.end(), name) == present.end())
            present.push_back(name);
    }
    DeliverInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                           NameBytes(name), false, true);
}

void UnplugUsb(std::string_view vid, std::string_view pid, std::string_view instance)
{
    HarnessEntry();
    std::string name = UsbInterfaceName(vid, pid, instance);
    {
        Guard guard;
        auto &present = K->PresentInterfaces;
        present.erase(std::remove(present.begin(), present.end(), name), present.end());
    }
    DeliverInterfaceChange(GUID_DEVICE_INTERFACE_REMOVAL, GUID_DEVINTERFACE_USB_DEVICE,
                           NameBytes(name), false, true);
}

std::vector<std::string> PresentInterfaces()
{
    HarnessEntry();
    Guard guard;
    return K->PresentInterfaces;
}

void PostInterfaceChange(const GUID &event, const GUID &interfaceClass,
                         std::span<const uint8_t> nameBytes, bool nullBuffer)
{
    HarnessEntry();
    DeliverInterfaceChange(event, interfaceClass, nameBytes, nullBuffer, false);
}

void PostInterfaceChange(const GUID &event, const GUID &interfaceClass, std::string_view name)
{
    PostInterfaceChange(event, interfaceClass, NameBytes(name), false);
}

void PostHardwareProfileChange(const GUID &event)
{
    HarnessEntry();
    std::vector<PnpRegistration> targets;
    {
        Guard guard;
        targets = ActiveOf(EventCategoryHardwareProfileChange);
    }
    for (const PnpRegistration &registration : targets) {
        HardwareProfileChange change{1, sizeof(HardwareProfileChange), event};
        NTSTATUS status;
        {
            CallOut call;
            status = registration.Callback(&change, registration.Context);
        }
        Guard guard;
        K->NotificationResults.push_back(status);
    }
}

const std::vector<PnpRegistration> &PnpRegistrations()
{
    HarnessEntry();
    return K->Registrations;
}

void FailNextPnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category, unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    if (category == EventCategoryDeviceInterfaceChange) {
        K->FailInterfaceRegistrations = n;
        K->FailInterfaceRegistrationsStatus = status;
    } else if (category == EventCategoryHardwareProfileChange) {
        K->FailProfileRegistrations = n;
        K->FailProfileRegistrationsStatus = status;
    }
}

void SetExistingArrivals(ExistingArrivals delivery)
{
    HarnessEntry();
    Guard guard;
    delivery.Copies = delivery.Copies < 1 ? 1 : delivery.Copies > 2 ? 2 : delivery.Copies;
    if (delivery.Later > delivery.Copies)
        delivery.Later = delivery.Copies;
    K->Existing = delivery;
}

const std::vector<NTSTATUS> &NotificationResults()
{
    HarnessEntry();
    return K->NotificationResults;
}

} // namespace sim

extern "C" {

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID *NotificationEntry)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoRegisterPlugPlayNotification");
    Kernel *k = K;
    PnpRegistration record{};
    std::vector<std::string> existing;
    {
        Guard guard;
        KIRQL irql = CurrentThread()->Irql;
        if (irql != PASSIVE_LEVEL)
            Violate("IoRegisterPlugPlayNotification at IRQL " + std::to_string(irql));
        record.Time = CurrentTime();
        record.Category = EventCategory;
        record.Flags = EventCategoryFlags;
        record.Driver = DriverObject;
        record.Callback = CallbackRoutine;
        record.Context = Context;
        NTSTATUS status = STATUS_SUCCESS;
        bool interfaces = EventCategory == EventCategoryDeviceInterfaceChange;
        if (interfaces && EventCategoryData)
            ReadBytes(&record.InterfaceClass, EventCategoryData, sizeof(GUID));
        if (!CallbackRoutine || !NotificationEntry || (interfaces && !EventCategoryData) ||
            (EventCategory != EventCategoryDeviceInterfaceChange &&
             EventCategory != EventCategoryHardwareProfileChange)) {
            status = STATUS_INVALID_PARAMETER;
        } else if (interfaces && k->FailInterfaceRegistrations) {
            k->FailInterfaceRegistrations--;
            status = k->FailInterfaceRegistrationsStatus;
        } else if (!interfaces && k->FailProfileRegistrations) {
            k->FailProfileRegistrations--;
            status = k->FailProfileRegistrationsStatus;
        }
        record.Status = status;
        k->Registrations.push_back(record);
        if (!NT_SUCCESS(status))
            return status;
        k->ActiveRegistrations.push_back(k->Registrations.size() - 1);
        __atomic_store_n(NotificationEntry,
                         (PVOID)(uintptr_t)(0x50000 + 16 * k->Registrations.size()),
                         __ATOMIC_RELAXED);
        if (interfaces &&
            (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) &&
            SameGuid(record.InterfaceClass, GUID_DEVINTERFACE_USB_DEVICE))
            existing = k->PresentInterfaces;
    }
    ExistingArrivals delivery;
    {
        Guard guard;
        delivery = k->Existing;
    }
    unsigned now = delivery.Copies - delivery.Later;
    for (const std::string &name : existing)
        for (unsigned copy = 0; copy < now; ++copy)
            ReportExistingArrival(record, name);
    if (delivery.Later == 0 || existing.empty())
        return STATUS_SUCCESS;
    Guard guard;
    auto later = std::make_unique<LaterArrivals>();
    later->Record = record;
    later->DelayMs = delivery.LaterMs;
    for (const std::string &name : existing)
        for (unsigned copy = 0; copy < delivery.Later; ++copy)
            later->Names.push_back(name);
    if (StartKernelThread(ReportLaterArrivals, later.get()))
        k->LaterDeliveries.push_back(std::move(later));
    return STATUS_SUCCESS;
}

} // extern "C"
