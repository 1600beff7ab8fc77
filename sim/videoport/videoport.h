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
    bool ImageUnloaded = false;
};

// Whether a thread of an unloaded image is about to run: a finding (bug
// check 0xCE), and the thread never runs again (video port, threads).
bool UnloadedImageWouldRun(Thread *thread);

} // namespace sim::detail

#endif // KVR_SIM_VIDEOPORT_VIDEOPORT_H
