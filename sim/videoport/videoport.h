// The video port's internals: the miniport's table and extension, the
// adapter's device and its lifecycle, and the port's part of the record.

#ifndef KVR_SIM_VIDEOPORT_VIDEOPORT_H
#define KVR_SIM_VIDEOPORT_VIDEOPORT_H

#include <memory>
#include <mutex>
#include <vector>

#include "kernel/kernel.h"

namespace sim::detail
{

struct VideoPortState {
    PDRIVER_OBJECT Driver = nullptr;
    ULONG VideoPortStatus = 0;
    unsigned FailVideoPortInitialize = 0;
    ULONG FailVideoPortInitializeStatus = (ULONG)STATUS_UNSUCCESSFUL;
    std::vector<VideoPortInitializeCall> VideoPortCalls;
    bool HaveTable = false;
    VIDEO_HW_INITIALIZATION_DATA Table{};
    PVOID HwContext = nullptr;
    std::vector<std::unique_ptr<uint8_t[]>> Extensions;
    // The port hands the miniport one control request at a time: in
    // free-running mode by this mutex, in deterministic mode by the gate (a
    // synchronisation event, signalled while no request is inside HwStartIO).
    std::mutex StartIoMutex;
    KEVENT StartIoGate{};
    bool StartIoGateReady = false;
    PVOID Extension = nullptr;
    // The adapter as the plug-and-play manager and the video port keep it:
    // its device \Device\VideoN (exclusive), whether it is started, and
    // whether the display driver has it open.
    PDEVICE_OBJECT VideoDevice = nullptr;
    unsigned VideoDeviceNumber = 0; // N of the next one
    bool PnpMiniport = false;       // the table qualifies as Plug and Play
    bool AdapterStarted = false;
    bool VideoDeviceOpen = false;
    unsigned FailAddDevices = 0;
    NTSTATUS FailAddDevicesStatus = STATUS_INSUFFICIENT_RESOURCES;
    unsigned FailStarts = 0;
    NTSTATUS FailStartsStatus = STATUS_UNSUCCESSFUL;
    ULONG AdapterPower = 1; // VideoPowerOn
    // The driver's unload (the video port's DriverUnload) has run: its last
    // device went. The image stays mapped while its driver object is
    // referenced, and a later AddDevice of the driver fails (Code 38).
    bool UnloadRan = false;
    bool ImageUnloaded = false; // the image is gone too
};

// Whether a thread of an unloaded image is about to run: a finding (bug
// check 0xCE), and the thread never runs again (video port, threads).
bool UnloadedImageWouldRun(Thread *thread);

// Shared by the video port (videoport.cpp, power.cpp) and the display-driver
// stand-in (devices/display_driver.cpp).
constexpr size_t ChildEnumInfoSize =
    24; // Size, ChildDescriptorSize, ChildIndex, ACPIHwId, extension
constexpr VP_STATUS ErrorNotReady = 21; // ERROR_NOT_READY
constexpr NTSTATUS StatusAccessDenied = (NTSTATUS)0xC0000022u;
constexpr NTSTATUS StatusDeviceNotReady = (NTSTATUS)0xC00000A3u;
// A driver whose unload has run while its image is still in memory cannot
// be loaded for a device again (Device Manager's Code 38).
constexpr NTSTATUS StatusDriverFailedPriorUnload = (NTSTATUS)0xC000038Eu;
// What the interleaving explorer orders the video port's calls by: the
// adapter's state (its table, extension, device, power) is one object.
extern const char AdapterObject;
// The gate that lets one control request at a time into HwStartIO
// (StartIoTurn, below), once made: the end of a request opens it, and that
// end may follow HwInitialize (an open that failed) or HwStartIO.
const volatile void *StartIoGate();
const VIDEO_HW_INITIALIZATION_DATA *Table(const char *what);
void TraceAdapter(const char *what, NTSTATUS status);

} // namespace sim::detail

#endif // KVR_SIM_VIDEOPORT_VIDEOPORT_H
