// The harness interface, the video port and the display-driver stand-in: a part of sim.h, which
// includes every part in order; include sim.h, not this.

#ifndef KVR_SIM_VIDEOPORT_HARNESS_H
#define KVR_SIM_VIDEOPORT_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// Video port

typedef NTSTATUS (*DriverEntryRoutine)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

constexpr std::string_view DefaultRegistryPath =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvrminiport";

// Creates the driver object and calls DriverEntry at PASSIVE_LEVEL on the
// harness context; returns its status.
NTSTATUS LoadDriver(DriverEntryRoutine entry, std::string_view registryPath = DefaultRegistryPath);
PDRIVER_OBJECT DriverObject();

// The status that VideoPortInitialize returns (default 0) and failure
// injection (the next n calls return status, whatever the table holds).
void SetVideoPortInitializeStatus(ULONG status);
void FailNextVideoPortInitialize(unsigned n, ULONG status = (ULONG)STATUS_UNSUCCESSFUL);

struct VideoPortInitializeCall {
    int64_t Time;
    PVOID Argument1;
    PVOID Argument2;
    ULONG HwInitDataSize;
    PVOID HwContext;
    VIDEO_HW_INITIALIZATION_DATA Table; // the copy kept (zero if the size was wrong)
    ULONG Status;
};
const std::vector<VideoPortInitializeCall> &VideoPortInitializeCalls();
// The callback table kept by the last successful VideoPortInitialize.
const VIDEO_HW_INITIALIZATION_DATA *HwInitData();

// The adapter's device through its life, as the plug-and-play manager and
// the video port drive it. A Plug and Play table (one that has the power
// and child callbacks) gets its adapter at StartAdapter; any other table
// was detected inside VideoPortInitialize.
//
// The next n AddDevice calls fail (the adapter gets no device), or the next
// n starts fail below the video port, before HwFindAdapter is called (the
// device is then removed).
void FailNextAddDevices(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailNextAdapterStarts(unsigned n, NTSTATUS status = STATUS_UNSUCCESSFUL);

struct StartAdapterResult {
    VP_STATUS FindStatus;    // HwFindAdapter's (ERROR_NO_MORE_DEVICES when it was not called)
    NTSTATUS DeviceStatus;   // of AddDevice, or of the start
    bool ExtensionUntouched; // the device extension still all zero afterwards
    UCHAR Again;             // the again flag after HwFindAdapter (preset 0)
};
// The video port's AddDevice for the adapter (nothing when it has its
// device already); a failure leaves the driver without a device.
NTSTATUS AddAdapter();
// AddDevice when the adapter has no device (\Device\VideoN, exclusive),
// then the start: HwFindAdapter with a zeroed device extension of the
// requested size. A start that fails removes the device. May be called
// again (the adapter is stopped and started again). HwInitialize is not
// called here: it runs at the display driver's open.
StartAdapterResult StartAdapter();
// The display driver (a kernel caller, as win32k loads it) opens the video
// device: refused before the start or while it is open already (the device
// is exclusive); the first open of a start calls HwInitialize, whose FALSE
// fails the open. Ioctl opens it itself when it is not open yet.
NTSTATUS OpenVideoDevice();
void CloseVideoDevice();
// A user process's open of the video device: always refused.
NTSTATUS OpenVideoDeviceFromUserMode();
std::string VideoDeviceName(); // "\Device\Video0", or empty without a device
// Removes the adapter's device: a surprise removal always; an orderly one
// (a disable) is refused while the display driver has the device open.
// Once the driver has no device, its unload runs (DriverUnloadRan), whatever
// references its driver object. Only when nothing references it then
// (beyond the loader; each notification registration references it) does
// the image go (DriverUnloaded): what is left of the driver then (threads,
// thread handles, registrations, links, pool) are findings, and a thread of
// the unloaded image that would run again is a finding (bug check 0xCE) and
// never runs. An image kept by a reference stays mapped and runs on, and a
// later AddDevice (AddAdapter, StartAdapter) fails with
// STATUS_DRIVER_FAILED_PRIOR_UNLOAD (Code 38); an enable after the image
// went is a new LoadDriver and StartAdapter.
bool RemoveAdapter(bool surprise = false);
bool DriverUnloaded();
bool DriverUnloadRan();

// System power as the video port delivers it to an adapter without
// children: HwGetPowerState, then, if it answered NO_ERROR, HwSetPowerState,
// both for DISPLAY_ADAPTER_HW_ID: VideoPowerOff for sleep, VideoPowerHibernate
// for hibernation, VideoPowerOn at resume; every other state is entered from
// VideoPowerOn. Returns the last callback's status (NO_ERROR when nothing
// was to be done).
//
// The system itself (deterministic mode): once the adapter is told of a
// sleep or hibernation, no simulated thread runs and no wait times out until
// the resume (SystemAsleep); Advance moves the clock without waking anyone,
// so the clock jumps over the sleep. A sleep while asleep, and a resume
// while awake, do nothing. While the system sleeps the harness may move the
// clock and change the world (the frame's answers, the registry), nothing
// that runs the driver. At the resume, before any thread runs: every wait
// whose time came during the sleep times out (in the order of the deadlines),
// the requests left pending at the sibling complete as `wake` says, and the
// adapter is powered on; then, if the frame comes back as a new device, the
// sibling's device is surprise-removed, every USB device interface present
// is reported removed, and once that has run its course the sibling's device
// is created again and the interfaces arrive again.
enum class SystemPower { Sleep, Hibernate, Resume };
struct Wake {
    // The requests pending at the sibling across the sleep: completed with
    // the frame's answers (STATUS_SUCCESS) or failed with this status.
    NTSTATUS PendingStatus = STATUS_SUCCESS;
    // The frame lost power with the bus and comes back as a removal and an
    // arrival (its pending requests then fail with STATUS_NO_SUCH_DEVICE).
    bool FrameReenumerated = false;
};
VP_STATUS SetSystemPower(SystemPower transition, const Wake &wake = {});

PVOID DeviceExtension();

struct IoctlResult {
    bool Delivered;              // HwStartIO was called (the adapter started and open)
    BOOLEAN Returned;            // what HwStartIO returned
    VP_STATUS Status;            // the status block's Status
    ULONG_PTR Information;       // the status block's Information
    std::vector<uint8_t> Output; // the bytes copied back to the caller
};
// A METHOD_BUFFERED request from the display driver (EngDeviceIoControl) to
// the video device, and through it to HwStartIO, as the I/O manager makes
// it. Before the adapter is started, or when the display driver's open
// fails, nothing reaches the miniport: Status is ERROR_NOT_READY.
// one system buffer of max(input, output) bytes, the input copied in, the
// rest holding the pattern `prefill` (pool memory is not zeroed). Status is
// preset to presetStatus and Information to presetInformation, so a test can
// see whether the driver set them (the I/O manager presets 0).
//
// Completion: unless the status is an error (anything but NO_ERROR and
// ERROR_MORE_DATA), and only when the caller gave an output buffer, the
// caller receives exactly Information bytes. Findings: Information above
// the output length; above the system buffer; and every reported byte past
// the input that still holds the pattern (neither the caller's nor written
// by the miniport), unless Options::CheckReplyBytes is off. A count that a
// test preset and the miniport left alone is not checked, and only what
// fits the output is copied.
//
// Callable from another real thread in free-running mode; as on the
// platform, HwStartIO sees one request at a time.
IoctlResult Ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength,
                  uint8_t prefill = 0xCC, ULONG_PTR presetInformation = 0,
                  VP_STATUS presetStatus = 0);

VP_STATUS SetPowerState(ULONG state, ULONG hwId = DISPLAY_ADAPTER_HW_ID);
VP_STATUS GetPowerState(ULONG state, ULONG hwId = DISPLAY_ADAPTER_HW_ID,
                        VIDEO_POWER_MANAGEMENT *reply = nullptr);
struct ChildResult {
    VP_STATUS Status;
    VIDEO_CHILD_TYPE Type;               // as left by the callback (preset 0)
    std::array<uint8_t, 256> Descriptor; // as left (preset 0)
    ULONG UId;                           // as left (preset 0)
};
ChildResult EnumerateChild(ULONG childIndex = 1);

} // namespace sim

#endif // KVR_SIM_VIDEOPORT_HARNESS_H
