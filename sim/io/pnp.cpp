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
#include <optional>

#include "record.h"

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

// A notification's name: bytes as given (none at all with Null), or a
// narrow text, each character widened to two bytes.
struct InterfaceName {
    std::span<const uint8_t> Bytes;
    std::string_view Text;
    bool Widened = false;
    bool Null = false;

    static InterfaceName Of(std::string_view text)
    {
        InterfaceName name;
        name.Text = text;
        name.Widened = true;
        return name;
    }
    size_t Size() const { return Widened ? 2 * Text.size() : Bytes.size(); }
    // The first bytes of the name into a buffer of that many.
    void CopyTo(uint8_t *buffer, size_t length) const
    {
        if (!Widened) {
            if (length)
                memcpy(buffer, Bytes.data(), length);
            return;
        }
        for (size_t i = 0; i < length; ++i)
            buffer[i] = i % 2 ? 0 : (uint8_t)Text[i / 2];
    }
    // The name as the trace shows it: its characters narrowed, as Narrow
    // does.
    void TextInto(std::string &text) const
    {
        if (Widened) {
            text.assign(Text);
            return;
        }
        text.resize(Null ? 0 : Bytes.size() / 2);
        for (size_t i = 0; i < text.size(); ++i) {
            char16_t c = (char16_t)(Bytes[2 * i] | Bytes[2 * i + 1] << 8);
            text[i] = c < 0x100 ? (char)c : '?';
        }
    }
};

} // namespace

// What the interleaving explorer orders the plug-and-play manager's work by:
// its interfaces, registrations and the callbacks' results are one object.
const char PnpObject = 0;

Access PnpAccess()
{
    return Access{&PnpObject, KernelCallPoint};
}

// Every notification callback of the driver is called here, whatever the
// category: on the calling context, which must be left as it was found.
NTSTATUS CallRegistration(const PnpRegistration &registration, PVOID notification,
                          const Access &after)
{
    Thread *thread = CurrentThread();
    KIRQL irql = thread->Irql;
    unsigned owned = thread->MutexesOwned;
    // A kernel routine the driver called may call a callback in turn (the
    // arrivals reported during a registration): that callback's own waits
    // are its own again.
    unsigned kernelWaits = thread->KernelWaits;
    thread->KernelWaits = 0;
    thread->Notifying++;
    NTSTATUS status;
    {
        CallOut call;
        status = CallDriverThen([after] { return after; }, registration.Callback, notification,
                                registration.Context);
    }
    thread->Notifying--;
    thread->KernelWaits = kernelWaits;
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
    return status;
}

namespace
{
// Calls one registration's callback with an interface notification. The
// name's buffer has exactly the name's bytes, so a read past them is caught.
void CallInterfaceCallback(const PnpRegistration &registration, const GUID &event,
                           const GUID &interfaceClass, const InterfaceName &nameBytes)
{
    size_t length = nameBytes.Size() > 0xFFFF ? 0xFFFF : nameBytes.Size();
    std::unique_ptr<uint8_t[]> buffer;
    if (!nameBytes.Null) {
        buffer.reset(new uint8_t[length ? length : 0]);
        nameBytes.CopyTo(buffer.get(), length);
    }
    UNICODE_STRING name;
    name.Length = (USHORT)length;
    name.MaximumLength = (USHORT)length;
    name.Buffer = nameBytes.Null ? nullptr : (PWSTR)buffer.get();
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification;
    notification.Version = 1;
    notification.Size = sizeof notification;
    notification.Event = event;
    notification.InterfaceClassGuid = interfaceClass;
    notification.SymbolicLinkName = &name;
    // The delivery goes on with the next registration, as the list stood
    // when it began.
    CallRegistration(registration, &notification, PnpAccess());
}

// The event is built in the kernel's reused record (the observer sees it
// there; the log, when kept, gets a copy).
void TraceNotify(const GUID &event, const InterfaceName &name)
{
    if (!Tracing())
        return;
    TraceEvent &trace = ReusedEvent(CurrentTime(), TraceKind::Notify);
    trace.Ok = true;
    trace.Text.assign(KindOf(event));
    name.TextInto(trace.Name);
    EmitReused(trace);
}

// Delivers an interface change to the device-interface registrations; with
// onlyClass, to those of that class only.
void DeliverInterfaceChange(const GUID &event, const GUID &interfaceClass,
                            const InterfaceName &name, bool onlyClass)
{
    std::optional<Targets> targets;
    {
        Guard guard;
        TraceNotify(event, name);
        targets.emplace(EventCategoryDeviceInterfaceChange);
    }
    for (size_t i = 0; i < targets->Size(); ++i)
        if (!onlyClass || SameGuid((*targets)[i].InterfaceClass, interfaceClass))
            CallInterfaceCallback((*targets)[i], event, interfaceClass, name);
}

void ReportExistingArrival(const PnpRegistration &record, const std::string &name)
{
    InterfaceName widened = InterfaceName::Of(name);
    {
        Guard guard;
        TraceNotify(GUID_DEVICE_INTERFACE_ARRIVAL, widened);
    }
    CallInterfaceCallback(record, GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                          widened);
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

// IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation, which the
// plug-and-play manager sends down the file object's stack to find the
// device whose changes the registration is for: the stack of a device that
// was surprise-removed or removed fails it, and so does the registration.
NTSTATUS QueryTargetRelation(PDEVICE_OBJECT device)
{
    K->TargetRelationQueries++;
    using State = _DEVICE_OBJECT::PnpState;
    if (device->Pnp == State::SurpriseRemoved || device->Pnp == State::Removed)
        return StatusNoSuchDevice;
    return STATUS_SUCCESS;
}

// A registration's entry: an opaque value that names its index.
PVOID EntryOf(size_t index)
{
    return (PVOID)(uintptr_t)(0x50000 + 16 * (index + 1));
}

size_t IndexOf(PVOID entry)
{
    uintptr_t value = (uintptr_t)entry;
    if (value < 0x50010 || (value - 0x50000) % 16 != 0)
        return SIZE_MAX;
    return (value - 0x50000) / 16 - 1;
}

} // namespace

// The active registrations of a category (of one device's, given one).
Targets::Targets(IO_NOTIFICATION_EVENT_CATEGORY category, PDEVICE_OBJECT device)
{
    for (size_t index : K->ActiveRegistrations) {
        const PnpRegistration &registration = K->Registrations[index];
        if (registration.Category != category)
            continue;
        if (device != nullptr && registration.TargetDevice != device)
            continue;
        if (Count < InPlace)
            Few[Count] = registration;
        else
            More.push_back(registration);
        ++Count;
    }
}

bool StillOpen(const PnpRegistration &registration)
{
    const ObjectHeader &file = registration.TargetFile->Header;
    return !file.Dead && file.Generation == registration.TargetGeneration;
}

void CheckRegistrationsAtTeardown()
{
    Kernel *k = K;
    for (size_t index : k->ActiveRegistrations) {
        const PnpRegistration &registration = k->Registrations[index];
        if (registration.Category == EventCategoryTargetDeviceChange && !StillOpen(registration))
            Violate("a target-device registration on " + registration.TargetDevice->Name +
                    " was left on a file object that is closed");
    }
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

void UsbInterfaceNameInto(std::string &name, std::string_view vid, std::string_view pid,
                          std::string_view instance)
{
    name.assign("\\??\\USB#VID_");
    name += vid;
    name += "&PID_";
    name += pid;
    name += "#";
    name += instance;
    name += "#";
    name += UsbClassText;
}

std::string UsbInterfaceName(std::string_view vid, std::string_view pid, std::string_view instance)
{
    std::string name;
    name.reserve(12 + vid.size() + 5 + pid.size() + 1 + instance.size() + 1 + sizeof UsbClassText -
                 1);
    UsbInterfaceNameInto(name, vid, pid, instance);
    return name;
}

void PlugUsb(std::string_view vid, std::string_view pid, std::string_view instance)
{
    HarnessEntryAs(PnpAccess());
    std::string name = UsbInterfaceName(vid, pid, instance);
    {
        Guard guard;
        auto &present = K->PresentInterfaces;
        if (std::find(present.begin(), present.end(), name) == present.end())
            present.push_back(name);
    }
    DeliverInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                           InterfaceName::Of(name), true);
}

void UnplugUsb(std::string_view vid, std::string_view pid, std::string_view instance)
{
    HarnessEntryAs(PnpAccess());
    std::string name = UsbInterfaceName(vid, pid, instance);
    {
        Guard guard;
        auto &present = K->PresentInterfaces;
        present.erase(std::remove(present.begin(), present.end(), name), present.end());
    }
    DeliverInterfaceChange(GUID_DEVICE_INTERFACE_REMOVAL, GUID_DEVINTERFACE_USB_DEVICE,
                           InterfaceName::Of(name), true);
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
    InterfaceName name;
    name.Bytes = nameBytes;
    name.Null = nullBuffer;
    DeliverInterfaceChange(event, interfaceClass, name, false);
}

void PostInterfaceChange(const GUID &event, const GUID &interfaceClass, std::string_view name)
{
    HarnessEntry();
    DeliverInterfaceChange(event, interfaceClass, InterfaceName::Of(name), false);
}

void PostHardwareProfileChange(const GUID &event)
{
    HarnessEntry();
    std::optional<Targets> targets;
    {
        Guard guard;
        targets.emplace(EventCategoryHardwareProfileChange);
    }
    for (size_t i = 0; i < targets->Size(); ++i) {
        const PnpRegistration &registration = (*targets)[i];
        HardwareProfileChange change{1, sizeof(HardwareProfileChange), event};
        CallRegistration(registration, &change);
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
    } else if (category == EventCategoryTargetDeviceChange) {
        K->FailTargetRegistrations = n;
        K->FailTargetRegistrationsStatus = status;
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

size_t ActivePnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category)
{
    HarnessEntry();
    Guard guard;
    size_t count = 0;
    for (size_t index : K->ActiveRegistrations)
        count += K->Registrations[index].Category == category ? 1 : 0;
    return count;
}

uint64_t TargetRelationQueries()
{
    HarnessEntry();
    Guard guard;
    return K->TargetRelationQueries;
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
        bool target = EventCategory == EventCategoryTargetDeviceChange;
        if (interfaces && EventCategoryData)
            ReadBytes(&record.InterfaceClass, EventCategoryData, sizeof(GUID));
        bool openFile = target && k->KnownObjects.count(EventCategoryData) &&
                        ((ObjectHeader *)EventCategoryData)->Kind == ObjectKind::File &&
                        !((ObjectHeader *)EventCategoryData)->Dead;
        if (target && !openFile)
            Violate("IoRegisterPlugPlayNotification for a target device with an address that is "
                    "not an open file object");
        if (openFile) {
            record.TargetFile = (PFILE_OBJECT)EventCategoryData;
            record.TargetDevice = record.TargetFile->Device;
            record.TargetGeneration = record.TargetFile->Header.Generation;
        }
        if (!CallbackRoutine || !NotificationEntry || (interfaces && !EventCategoryData) ||
            (target && !openFile) ||
            (EventCategory != EventCategoryDeviceInterfaceChange &&
             EventCategory != EventCategoryHardwareProfileChange && !target)) {
            status = STATUS_INVALID_PARAMETER;
        } else if (interfaces && k->FailInterfaceRegistrations) {
            k->FailInterfaceRegistrations--;
            status = k->FailInterfaceRegistrationsStatus;
        } else if (target && k->FailTargetRegistrations) {
            k->FailTargetRegistrations--;
            status = k->FailTargetRegistrationsStatus;
        } else if (target) {
            status = QueryTargetRelation(record.TargetDevice);
        } else if (!interfaces && !target && k->FailProfileRegistrations) {
            k->FailProfileRegistrations--;
            status = k->FailProfileRegistrationsStatus;
        }
        record.Status = status;
        k->Registrations.push_back(record);
        if (!NT_SUCCESS(status))
            return status;
        k->ActiveRegistrations.push_back(k->Registrations.size() - 1);
        __atomic_store_n(NotificationEntry, EntryOf(k->Registrations.size() - 1), __ATOMIC_RELAXED);
        if (target)
            TracePnp("register", record.TargetDevice);
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

NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("IoUnregisterPlugPlayNotification");
    Kernel *k = K;
    Guard guard;
    KIRQL irql = CurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL)
        Violate("IoUnregisterPlugPlayNotification at IRQL " + std::to_string(irql));
    size_t index = IndexOf(NotificationEntry);
    auto active = std::find(k->ActiveRegistrations.begin(), k->ActiveRegistrations.end(), index);
    if (active == k->ActiveRegistrations.end()) {
        Violate("IoUnregisterPlugPlayNotification with an entry that is not a registration (or "
                "was unregistered already)");
        return STATUS_INVALID_PARAMETER;
    }
    k->ActiveRegistrations.erase(active);
    const PnpRegistration &record = k->Registrations[index];
    if (record.Category == EventCategoryTargetDeviceChange)
        TracePnp("unregister", record.TargetDevice);
    // Neither Vista nor 7 waits here for a call of the callback under way
    // (IoUnregisterPlugPlayNotificationEx, from 7 on, would): a delivery that
    // has begun still calls it.
    return STATUS_SUCCESS;
}

} // extern "C"
