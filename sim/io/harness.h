// The harness interface, objects, the I/O manager and plug and play: a part of sim.h, which
// includes every part in order; include sim.h, not this.

#ifndef KVR_SIM_IO_HARNESS_H
#define KVR_SIM_IO_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// Objects and I/O

struct DeviceInfo {
    std::string Name; // empty for an unnamed device
    PDEVICE_OBJECT Object;
    PDRIVER_OBJECT Driver; // null for the sibling's device
    ULONG ExtensionSize;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
};
std::vector<DeviceInfo> Devices(); // devices that exist, in creation order

struct CreateDeviceCall {
    int64_t Time;
    std::string Name;
    ULONG ExtensionSize;
    DEVICE_TYPE Type;
    ULONG Characteristics;
    bool Exclusive;
    NTSTATUS Status;
};
const std::vector<CreateDeviceCall> &CreateDeviceCalls();
void FailNextDeviceCreations(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

struct SymbolicLinkCall {
    int64_t Time;
    std::string Link;
    std::string Device;
    NTSTATUS Status;
};
const std::vector<SymbolicLinkCall> &SymbolicLinkCalls();
std::optional<std::string> SymbolicLinkTarget(std::string_view link);

struct OpenCall { // IoGetDeviceObjectPointer
    int64_t Time;
    std::string Name;
    ACCESS_MASK Access;
    NTSTATUS Status;
};
const std::vector<OpenCall> &OpenCalls();
void FailNextOpens(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);

// Reference counts: of a device or file object (-1 for an unknown object).
LONG ReferenceCount(const void *object);
// File objects opened and not yet dereferenced to zero.
size_t OpenFileObjects();

// The next n calls of IoBuildDeviceIoControlRequest return null.
void FailNextRequestBuilds(unsigned n);

// ---------------------------------------------------------------------------
// Plug and play

// \??\USB#VID_vvvv&PID_pppp#INSTANCE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
std::string UsbInterfaceName(std::string_view vid, std::string_view pid, std::string_view instance);
// The same into a string kept by the caller (its storage reused).
void UsbInterfaceNameInto(std::string &name, std::string_view vid, std::string_view pid,
                          std::string_view instance);
// Adds (removes) the interface to (from) the present set and calls every
// device-interface callback registered for the USB device class.
void PlugUsb(std::string_view vid, std::string_view pid, std::string_view instance);
void UnplugUsb(std::string_view vid, std::string_view pid, std::string_view instance);
std::vector<std::string> PresentInterfaces();

// A raw device-interface notification to every device-interface callback
// (whatever class they registered for): any event and class GUID, and a
// symbolic-link name of any bytes. byteLength becomes Length (odd counts
// allowed); nullBuffer gives a name whose Buffer is null.
void PostInterfaceChange(const GUID &event, const GUID &interfaceClass,
                         std::span<const uint8_t> nameBytes, bool nullBuffer = false);
void PostInterfaceChange(const GUID &event, const GUID &interfaceClass, std::string_view name);
// A hardware-profile change to every profile callback.
void PostHardwareProfileChange(const GUID &event);

// How the arrivals of interfaces already present are reported to a
// device-interface registration made with
// PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES. The platform may
// call the callback twice for one existing interface (never more than
// twice), and calls it from the plug-and-play manager's own threads, so a
// call may come after the registration has returned. Copies: calls per
// present interface, 1 or 2. Later: how many of them (the last ones) come
// from a plug-and-play thread after the registration has returned; the
// others are made during the registration on the registering context, as
// by default (Copies 1, Later 0). The plug-and-play thread first waits
// LaterMs of virtual time. Out-of-range values are clamped.
struct ExistingArrivals {
    unsigned Copies = 1;
    unsigned Later = 0;
    uint32_t LaterMs = 0;
};
void SetExistingArrivals(ExistingArrivals delivery);

struct PnpRegistration {
    int64_t Time;
    IO_NOTIFICATION_EVENT_CATEGORY Category;
    ULONG Flags;
    GUID InterfaceClass;     // device-interface category; zero otherwise
    PFILE_OBJECT TargetFile; // target-device category: the file object; else null
    // Its device and generation at the registration: the file object's
    // storage may hold another open's object later.
    PDEVICE_OBJECT TargetDevice;
    uint32_t TargetGeneration;
    PDRIVER_OBJECT Driver;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback;
    PVOID Context;
    NTSTATUS Status;
};
const std::vector<PnpRegistration> &PnpRegistrations(); // every call, also failed ones
// Registrations not (yet) removed with IoUnregisterPlugPlayNotification.
size_t ActivePnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category);
void FailNextPnpRegistrations(IO_NOTIFICATION_EVENT_CATEGORY category, unsigned n,
                              NTSTATUS status = STATUS_UNSUCCESSFUL);
// IRP_MN_QUERY_DEVICE_RELATIONS (TargetDeviceRelation) requests that
// target-device registrations sent to the file object's stack.
uint64_t TargetRelationQueries();
// Statuses that the callbacks returned, in call order.
const std::vector<NTSTATUS> &NotificationResults();

} // namespace sim

#endif // KVR_SIM_IO_HARNESS_H
