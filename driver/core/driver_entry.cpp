// DriverEntry and the miniport callbacks that need no hardware: the driver
// registers with the video port as an adapter of its own, starts the monitor
// thread, and follows the video port's power states.

#include "miniport.h"
#include "../monitor/monitor.h"

constexpr ULONG DataFilePathTag = 0x62756666; // "ffub" in memory order

static void FillInitializationData(VIDEO_HW_INITIALIZATION_DATA *Data)
{
    VideoPortZeroMemory(Data, sizeof(*Data));
    Data->HwInitDataSize = sizeof(*Data);
    Data->AdapterInterfaceType = Internal;
    Data->HwFindAdapter = HwFindAdapter;
    Data->HwInitialize = HwInitialize;
    Data->HwInterrupt = HwInterrupt;
    Data->HwStartIO = HwStartIO;
    Data->HwDeviceExtensionSize = DeviceExtensionSize;
    Data->StartingDeviceNumber = 0;
    Data->HwResetHw = HwResetHw;
    Data->HwSetPowerState = HwSetPowerState;
    Data->HwGetPowerState = HwGetPowerState;
    Data->HwGetVideoChildDescriptor = HwGetVideoChildDescriptor;
}

// The monitor thread runs for the life of the system, so its code must stay:
// once it exists, the driver object is referenced and never released, and
// the I/O manager does not unload an image whose driver object is
// referenced. Without it the image would go with the adapter's device (a
// failed start, a removal before the start, a disable after the
// registrations failed) and the thread would wake in freed memory. Returns
// whether the thread runs.
static bool StartMonitorThread(PDRIVER_OBJECT DriverObject)
{
    OBJECT_ATTRIBUTES Attributes;
    Attributes.Length = sizeof(Attributes);
    Attributes.RootDirectory = nullptr;
    Attributes.ObjectName = nullptr;
    Attributes.Attributes = OBJ_KERNEL_HANDLE;
    Attributes.SecurityDescriptor = nullptr;
    Attributes.SecurityQualityOfService = nullptr;
    HANDLE Thread = nullptr;
    // The monitor runs for the life of the driver; its handle is kept and
    // never used again.
    NTSTATUS Status =
        PsCreateSystemThread(&Thread, 0, &Attributes, nullptr, nullptr, MonitorMain, nullptr);
    DriverState.MonitorThread = Thread;
    if (NT_SUCCESS(Status))
        ObfReferenceObject(DriverObject);
    return NT_SUCCESS(Status);
}

// When VideoPortInitialize fails the platform does not keep the driver, so
// nothing is allocated and no thread is started. When the monitor thread
// cannot be created nothing keeps the image either: it is unloaded with the
// adapter's device, and no routine of the driver runs at the unload to free
// the data-file path's buffer, so it is freed at once. Without the monitor
// the sibling's device is never opened, and the path, which is handed out
// only while it is, is never asked for.
KVR_INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    KeInitializeMutex(&DriverState.DeviceStatusLock, 0);
    KeInitializeMutex(&DriverState.EventLock, 0);
    KeInitializeMutex(&DriverState.PeerLock, 0);

    VIDEO_HW_INITIALIZATION_DATA InitializationData;
    FillInitializationData(&InitializationData);
    auto Status =
        NTSTATUS(VideoPortInitialize(DriverObject, RegistryPath, &InitializationData, nullptr));
    if (!NT_SUCCESS(Status))
        return Status;

    // The video port calls HwFindAdapter only after DriverEntry has returned.
    DriverState.InterfaceNotifyRegistered.Store(0);
    DriverState.ProfileNotifyRegistered.Store(0);
    DriverState.PeerDevice.Store(nullptr);
    DriverState.DriverObject.Store(DriverObject);
    // May be null; its users refuse rather than write through it. Plain
    // NonPagedPool: the no-execute pool type exists from Windows 8 on, and
    // an unknown type stops Vista and 7 (BAD_POOL_CALLER).
    DriverState.DataFilePath.Store(static_cast<WCHAR *>(
        ExAllocatePoolWithTag(NonPagedPool, DataFilePathSize, DataFilePathTag)));
    if (!StartMonitorThread(DriverObject)) {
        WCHAR *Path = DriverState.DataFilePath.Load();
        DriverState.DataFilePath.Store(nullptr);
        if (Path != nullptr)
            ExFreePoolWithTag(Path, DataFilePathTag);
    }
    return Status;
}

KVR_PAGED_CODE BOOLEAN HwInitialize(PVOID HwDeviceExtension)
{
    (void)HwDeviceExtension;
    return TRUE;
}

// The adapter raises no interrupts: none is ever this adapter's.
BOOLEAN HwInterrupt(PVOID HwDeviceExtension)
{
    (void)HwDeviceExtension;
    return FALSE;
}

BOOLEAN HwResetHw(PVOID HwDeviceExtension, ULONG Columns, ULONG Rows)
{
    (void)HwDeviceExtension;
    (void)Columns;
    (void)Rows;
    return TRUE;
}

// Records the state; a power-off stays recorded until QueryPowerOff has
// reported it. PowerState is stored before PoweredOff is released, so that a
// QueryPowerOff that sees the flag also sees the state.
KVR_PAGED_CODE VP_STATUS HwSetPowerState(PVOID HwDeviceExtension, ULONG HwId,
                                         PVIDEO_POWER_MANAGEMENT VideoPowerControl)
{
    (void)HwDeviceExtension;
    (void)HwId;
    ULONG State = VideoPowerControl->PowerState;
    DriverState.PowerState.Store(State);
    if (State == VideoPowerOff)
        DriverState.PoweredOff.StoreRelease(1);
    return NO_ERROR;
}

KVR_PAGED_CODE VP_STATUS HwGetPowerState(PVOID HwDeviceExtension, ULONG HwId,
                                         PVIDEO_POWER_MANAGEMENT VideoPowerControl)
{
    (void)HwDeviceExtension;
    (void)HwId;
    (void)VideoPowerControl;
    return NO_ERROR;
}

// The adapter has no children, so the video port enumerates no monitor.
KVR_PAGED_CODE VP_STATUS HwGetVideoChildDescriptor(PVOID HwDeviceExtension,
                                                   PVIDEO_CHILD_ENUM_INFO ChildEnumInfo,
                                                   PVIDEO_CHILD_TYPE VideoChildType,
                                                   PUCHAR pChildDescriptor, PULONG UId,
                                                   PULONG pUnused)
{
    (void)HwDeviceExtension;
    (void)ChildEnumInfo;
    (void)VideoChildType;
    (void)pChildDescriptor;
    (void)UId;
    (void)pUnused;
    return ERROR_NO_MORE_DEVICES;
}
