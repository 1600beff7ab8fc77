// The simulated devices: the frame and the sibling frame driver behind
// \Device\KEVO-0, and their part of the record.

#ifndef KVR_SIM_DEVICES_DEVICES_H
#define KVR_SIM_DEVICES_DEVICES_H

#include <array>
#include <deque>
#include <thread>
#include <vector>

#include "kernel/kernel.h"

namespace sim::detail
{

struct SiblingState {
    PDEVICE_OBJECT SiblingDevice = nullptr;
    UCHAR FrameMode = 3;
    UCHAR PanelType = 8;
    UCHAR PanelAux = 0;
    UCHAR Input[2] = {0, 0};
    Completion PeerCompletion = Completion::Now;
    NTSTATUS PeerFailStatus = STATUS_UNSUCCESSFUL;
    std::deque<PIRP> PendingIrps;
    uint32_t PeerReplyDelayMs = sim::DefaultPeerReplyDelayMs;
    // The sibling's completion thread (deterministic mode), started at its
    // first late request, and the event it sleeps on while it has none.
    Thread *SiblingThread = nullptr;
    KEVENT SiblingWake{};
    bool PeerCancels = true; // its pending requests have a cancel routine
    std::vector<PeerRequest> PeerRequests;
    uint64_t PeerRequestCount = 0;
    std::array<PeerCommandCounts, 256> PeerCounts{};
    uint32_t AutoCompleteMs = 0;
    std::thread SiblingWorker;
    bool SiblingWorkerStop = false;
};

void CreateSiblingDevice();
// Completes the sibling's pending requests for a device with a failure (its
// removal).
void FailDeviceRequests(PDEVICE_OBJECT device, NTSTATUS status);
// Counts (and traces) a Busy event when the object is the event of a pending
// peer request.
void NoteBusyPeerRequest(const void *event);
// The sibling driver's dispatch of a device-control request sent to its
// device (IofCallDriver).
NTSTATUS SiblingDispatch(PIRP irp);
void StartSiblingWorker();
// A control request on the video device for the display driver (its
// EngDeviceIoControl), through the video port to HwStartIO; Ioctl is this
// from the harness.
IoctlResult SendToVideoDevice(ULONG code, std::span<const uint8_t> input, ULONG outputLength,
                              uint8_t prefill, ULONG_PTR presetInformation, VP_STATUS presetStatus);
void StopSiblingWorker();

} // namespace sim::detail

#endif // KVR_SIM_DEVICES_DEVICES_H
