// The adapter start: the named control device with its link, and the two
// plug-and-play subscriptions. Each subscription is tried again at every
// adapter start until it has once succeeded.

#include "miniport.h"
#include "../detect/detect.h"

// Creates \Device\kvrminiportobj and, only if that succeeded, its link. Both
// registration routines try it; the second creation fails on the existing
// name, and then no second link is made.
// The device is only the context the notification callbacks are registered
// with: it is created after DriverEntry and its DO_DEVICE_INITIALIZING is
// never cleared, so the I/O manager refuses every open of it. It must stay
// so: a request through it would reach the video port's dispatch routines
// with a device extension that is not the video port's.
KVR_PAGED_CODE static void CreateControlDevice()
{
    WCHAR DeviceNameText[] = u"\\Device\\kvrminiportobj";
    WCHAR LinkNameText[] = u"\\DosDevices\\kvrminiportobj";
    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, DeviceNameText);

    PDEVICE_OBJECT Device = DriverState.ControlDevice.Load();
    NTSTATUS Status = IoCreateDevice(DriverState.DriverObject.Load(), DeviceExtensionSize,
                                     &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device);
    DriverState.ControlDevice.Store(Device);
    if (!NT_SUCCESS(Status))
        return;
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, LinkNameText);
    IoCreateSymbolicLink(&LinkName, &DeviceName);
}

// Arrivals and removals of USB device interfaces, existing ones included (they
// are reported as arrivals right away). The registration is never undone, so
// its entry is not kept.
KVR_PAGED_CODE NTSTATUS RegisterInterfaceNotification()
{
    CreateControlDevice();
    PVOID Entry = nullptr;
    NTSTATUS Status = IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID *>(&GUID_DEVINTERFACE_USB_DEVICE), DriverState.DriverObject.Load(),
        UsbInterfaceNotify, DriverState.ControlDevice.Load(), &Entry);
    if (NT_SUCCESS(Status))
        DriverState.InterfaceNotifyRegistered.Store(1);
    return Status;
}

KVR_PAGED_CODE NTSTATUS RegisterProfileNotification()
{
    CreateControlDevice();
    PVOID Entry = nullptr;
    NTSTATUS Status = IoRegisterPlugPlayNotification(
        EventCategoryHardwareProfileChange, 0, nullptr, DriverState.DriverObject.Load(),
        ProfileChangeNotify, DriverState.ControlDevice.Load(), &Entry);
    if (NT_SUCCESS(Status))
        DriverState.ProfileNotifyRegistered.Store(1);
    return Status;
}

// The adapter has no hardware to find; the configuration information and the
// again flag are left as they came.
KVR_PAGED_CODE VP_STATUS HwFindAdapter(PVOID HwDeviceExtension, PVOID HwContext,
                                       PWSTR ArgumentString, PVIDEO_PORT_CONFIG_INFO ConfigInfo,
                                       PUCHAR Again)
{
    (void)HwDeviceExtension;
    (void)HwContext;
    (void)ArgumentString;
    (void)ConfigInfo;
    (void)Again;
    if (DriverState.InterfaceNotifyRegistered.Load() == 0)
        RegisterInterfaceNotification();
    if (DriverState.ProfileNotifyRegistered.Load() == 0)
        RegisterProfileNotification();
    return NO_ERROR;
}

// Hardware-profile changes concern the driver in no way.
NTSTATUS ProfileChangeNotify(PVOID NotificationStructure, PVOID Context)
{
    (void)NotificationStructure;
    (void)Context;
    return STATUS_SUCCESS;
}
