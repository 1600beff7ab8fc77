// The miniport callbacks that the video port calls, and the adapter-start
// registrations. HwStartIO is the control room's and is declared in
// control.h, which this header brings along.

#ifndef KVR_MINIPORT_H
#define KVR_MINIPORT_H

#include "../control/control.h"
#include "../state/state.h"

constexpr ULONG DeviceExtensionSize = 280; // requested, never touched

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

VP_STATUS HwFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PWSTR ArgumentString,
                        PVIDEO_PORT_CONFIG_INFO ConfigInfo, PUCHAR Again);
BOOLEAN HwInitialize(PVOID HwDeviceExtension);
BOOLEAN HwInterrupt(PVOID HwDeviceExtension);
BOOLEAN HwResetHw(PVOID HwDeviceExtension, ULONG Columns, ULONG Rows);
VP_STATUS HwSetPowerState(PVOID HwDeviceExtension, ULONG HwId,
                          PVIDEO_POWER_MANAGEMENT VideoPowerControl);
VP_STATUS HwGetPowerState(PVOID HwDeviceExtension, ULONG HwId,
                          PVIDEO_POWER_MANAGEMENT VideoPowerControl);
VP_STATUS HwGetVideoChildDescriptor(PVOID HwDeviceExtension, PVIDEO_CHILD_ENUM_INFO ChildEnumInfo,
                                    PVIDEO_CHILD_TYPE VideoChildType, PUCHAR pChildDescriptor,
                                    PULONG UId, PULONG pUnused);

NTSTATUS RegisterInterfaceNotification();
NTSTATUS RegisterProfileNotification();
NTSTATUS ProfileChangeNotify(PVOID NotificationStructure, PVOID Context);

#endif // KVR_MINIPORT_H
