// The video port: VideoPortInitialize and VideoPortZeroMemory, loading the
// driver, the adapter's device through its life (AddDevice, start, stop,
// removal, the driver's unload), the route of control requests (the display
// driver opens the exclusive video device; HwInitialize at that open;
// HwStartIO only after the start and the open), power as the port delivers
// it, and the calls the port makes into the miniport's callback table.

#include <algorithm>
#include <cstdio>

#include "record.h"

namespace sim::detail
{

namespace
{

constexpr ULONG HwInitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);
constexpr VP_STATUS ErrorMoreData = 234; // ERROR_MORE_DATA
constexpr size_t ConfigInfoSize = 512;   // the port's configuration record, zeroed
constexpr size_t ChildEnumInfoSize =
    24; // Size, ChildDescriptorSize, ChildIndex, ACPIHwId, extension

// What the interleaving explorer orders the video port's calls by: the
// adapter's state (its table, extension, device, power) is one object.
const char AdapterObject = 0;

// The gate that lets one control request at a time into HwStartIO
// (StartIoTurn, below), once made: the end of a request opens it, and that
// end may follow HwInitialize (an open that failed) or HwStartIO.
const volatile void *StartIoGate()
{
    return K->StartIoGateReady ? &K->StartIoGate : nullptr;
}

// The video port's work after a callback that changes the adapter's state.
struct AdapterState {
    Access operator()() const { return Access{&AdapterObject, KernelCallPoint, StartIoGate()}; }
};

// After HwStartIO: the request's own buffers, and the gate it opens.
struct AfterStartIo {
    Access operator()() const
    {
        const volatile void *gate = StartIoGate();
        return gate ? Access{gate, KernelCallPoint} : CallerOwnState{}();
    }
};

const VIDEO_HW_INITIALIZATION_DATA *Table(const char *what)
{
    if (!K->HaveTable) {
        Violate(std::string(what) + " without a successful VideoPortInitialize");
        return nullptr;
    }
    return &K->Table;
}

// Runs a callback on the calling context and checks that it comes back at
// the IRQL it was called at.
template <typename Call> auto CallMiniport(const char *name, Call call)
{
    Thread *thread = CurrentThread();
    KIRQL irql = thread->Irql;
    auto result = [&] {
        CallOut out;
        return call();
    }();
    if (thread->Irql != irql) {
        Guard guard;
        Violate(std::string(name) + " returned at IRQL " + std::to_string(thread->Irql) +
                ", called at " + std::to_string(irql));
    }
    return result;
}

std::string CodeText(ULONG code)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lX", (unsigned long)code);
    return text;
}

constexpr size_t SystemBufferGuard = 16;
constexpr uint8_t SystemBufferGuardFill = 0x6B;

void CheckSystemBufferGuard(ULONG code, const uint8_t *buffer, size_t size)
{
    for (size_t i = 0; i < SystemBufferGuard; ++i) {
        if (buffer[size + i] != SystemBufferGuardFill) [[unlikely]] {
            Guard guard;
            Violate("HwStartIO wrote past the end of the " + std::to_string(size) +
                    "-byte system buffer of control code " + CodeText(code) + " (byte " +
                    std::to_string(size + i) + ")");
            return;
        }
    }
}

// The I/O manager's completion of a METHOD_BUFFERED request: unless the
// status is an error, and only when the caller gave an output buffer
// (IRP_INPUT_OPERATION), it copies exactly Information bytes from the
// system buffer to the caller's buffer. Returns those bytes, and reports a
// count larger than the caller's buffer (an overrun of the caller's memory;
// EngDeviceIoControl hands the count to the display driver even when
// nothing is copied), a count larger than the system buffer (a read past
// the pool block), and every reported byte that neither came from the input
// nor was written by the miniport (still the pattern: left-over pool
// memory handed to the caller).
std::span<const uint8_t> CopyBack(ULONG code, std::span<const uint8_t> buffer, ULONG inputLength,
                                  ULONG outputLength, uint8_t pattern, const STATUS_BLOCK &status,
                                  ULONG_PTR presetInformation)
{
    // The video port maps ERROR_MORE_DATA to a warning, which is copied
    // back; every other status but NO_ERROR to an error, which is not.
    if (status.Status != NO_ERROR && status.Status != ErrorMoreData)
        return {};
    ULONG_PTR information = status.Information;
    Guard guard;
    // The I/O manager presets 0; a count that a test preset and the miniport
    // left alone is the test's own, and only what fits is copied.
    bool set = information != presetInformation || presetInformation == 0;
    if (set && information > outputLength)
        Violate("HwStartIO reported " + std::to_string(information) + " bytes for " +
                CodeText(code) + " with an output buffer of " + std::to_string(outputLength) +
                ": the I/O manager copies Information bytes into the caller's buffer");
    if (outputLength == 0)
        return {};
    if (!set)
        return buffer.first(std::min<size_t>(outputLength, information));
    size_t copied = information;
    if (copied > buffer.size()) {
        Violate("HwStartIO reported " + std::to_string(information) + " bytes for " +
                CodeText(code) + " from a system buffer of " + std::to_string(buffer.size()) +
                ": the copy reads past the pool block");
        copied = buffer.size();
    }
    std::string undefined;
    for (size_t i = inputLength; K->Opt.CheckReplyBytes && i < copied; ++i)
        if (buffer[i] == pattern)
            undefined += (undefined.empty() ? "" : ",") + std::to_string(i);
    if (!undefined.empty())
        Violate("HwStartIO reported bytes of " + CodeText(code) +
                " that came neither from the input nor from the miniport (offsets " + undefined +
                "): left-over pool memory returned to the caller");
    return buffer.first(copied);
}

bool AllZero(const uint8_t *bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (bytes[i])
            return false;
    return true;
}

constexpr VP_STATUS ErrorNotReady = 21; // ERROR_NOT_READY
constexpr NTSTATUS StatusDeviceNotReady = (NTSTATUS)0xC00000A3u;
constexpr NTSTATUS StatusAccessDenied = (NTSTATUS)0xC0000022u;
// The table sizes the port knows: up to HwSetPowerState (the oldest), up to
// AllowEarlyEnumeration, and the whole record.
constexpr ULONG OldestInitDataSize = offsetof(VIDEO_HW_INITIALIZATION_DATA, HwSetPowerState);
constexpr ULONG PnpInitDataSize = offsetof(VIDEO_HW_INITIALIZATION_DATA, HwQueryInterface);

void TraceAdapter(const char *what, NTSTATUS status)
{
    if (!Tracing())
        return;
    TraceEvent event = NewEvent(CurrentTime(), TraceKind::Adapter);
    event.Text = what;
    event.Status = status;
    event.Ok = NT_SUCCESS(status);
    Emit(std::move(event));
}

// The video port's AddDevice: the adapter's device \Device\VideoN,
// exclusive, of the miniport's driver object.
NTSTATUS AddAdapterDevice()
{
    Kernel *k = K;
    NTSTATUS status = STATUS_SUCCESS;
    if (k->FailAddDevices) {
        k->FailAddDevices--;
        status = k->FailAddDevicesStatus;
    } else {
        k->VideoDevice =
            CreatePortDevice(k->Driver, "\\Device\\Video" + std::to_string(k->VideoDeviceNumber++),
                             FILE_DEVICE_VIDEO, true);
    }
    TraceAdapter("add", status);
    return status;
}

// References that keep the image: those taken on the driver object beyond
// the loader's own, and each plug-and-play notification registration.
LONG ImageReferences(PDRIVER_OBJECT driver)
{
    LONG references = driver->Header.References - 1;
    for (size_t index : K->ActiveRegistrations)
        if (K->Registrations[index].Driver == driver)
            references++;
    return references;
}

void ReportLeftAtUnload(PDRIVER_OBJECT driver)
{
    Kernel *k = K;
    for (auto &thread : k->Threads) {
        if (!thread->Driver)
            continue;
        std::string id = std::to_string(thread->Id);
        if (!thread->Finished && !thread->Ending) {
            thread->Orphaned = true;
            Violate("driver unloaded with its thread " + id + " still running");
        }
        Violate("driver unloaded with its handle to thread " + id + " still open");
    }
    for (size_t index : k->ActiveRegistrations)
        if (k->Registrations[index].Driver == driver)
            Violate("driver unloaded with a plug-and-play notification still registered");
    std::set<std::string> made;
    for (const CreateDeviceCall &call : k->CreateDeviceCalls)
        if (NT_SUCCESS(call.Status))
            made.insert(UpcaseNarrow(call.Name));
    for (auto &[upper, link] : k->Links)
        if (made.count(UpcaseNarrow(link.second)))
            Violate("driver unloaded with its symbolic link " + link.first + " still there");
    for (auto &[tag, stats] : k->Stats) {
        if (!stats.OutstandingCount)
            continue;
        char text[5] = {char(tag), char(tag >> 8), char(tag >> 16), char(tag >> 24), 0};
        Violate("driver unloaded with " + std::to_string(stats.OutstandingCount) +
                " pool block(s) of tag '" + text + "' still allocated");
    }
}

// Once the driver has no device left and nothing references its driver
// object, the I/O manager unloads it: the video port's DriverUnload runs
// and the image goes. Whatever of the driver is still alive then is a
// finding, and code of the image that would run later is another.
void UnloadIfUnused()
{
    Kernel *k = K;
    PDRIVER_OBJECT driver = k->Driver;
    if (!driver || k->ImageUnloaded)
        return;
    for (auto &device : k->DeviceObjects)
        if (device->Driver == driver)
            return;
    if (ImageReferences(driver) > 0)
        return;
    k->ImageUnloaded = true;
    k->HaveTable = false;
    TraceAdapter("unload", STATUS_SUCCESS);
    ReportLeftAtUnload(driver);
}

// The adapter's device goes: the display driver's handle is closed, the
// device deleted, and the driver unloaded if nothing else keeps it.
void DeleteAdapterDevice(const char *what)
{
    Kernel *k = K;
    if (!k->VideoDevice)
        return;
    k->VideoDeviceOpen = false;
    k->AdapterStarted = false;
    DeletePortDevice(k->VideoDevice);
    k->VideoDevice = nullptr;
    TraceAdapter(what, STATUS_SUCCESS);
    UnloadIfUnused();
}

// Deterministic mode: a simulated thread whose control request finds another
// one inside HwStartIO (switched out at one of its waits or switch points)
// waits until that one returns, and so does a removal of the adapter's device
// (the device goes once the request in progress is done). The harness is
// not gated: it runs only while every simulated thread is blocked.
class StartIoTurn
{
  public:
    StartIoTurn() : Gated(!K->FreeRunning && K->Current)
    {
        if (!Gated)
            return;
        if (!K->StartIoGateReady) {
            KeInitializeEvent(&K->StartIoGate, SynchronizationEvent, TRUE);
            K->StartIoGateReady = true;
        }
        KeWaitForSingleObject(&K->StartIoGate, Executive, KernelMode, FALSE, nullptr);
    }
    ~StartIoTurn()
    {
        if (!Gated)
            return;
        Guard guard;
        __atomic_store_n(&K->StartIoGate.Header.SignalState, 1, __ATOMIC_RELAXED);
        SignalObject(&K->StartIoGate);
    }
    StartIoTurn(const StartIoTurn &) = delete;
    StartIoTurn &operator=(const StartIoTurn &) = delete;

  private:
    bool Gated;
};

} // namespace

bool UnloadedImageWouldRun(Thread *thread)
{
    if (!thread->Orphaned)
        return false;
    if (!thread->Finished) {
        thread->Finished = true;
        Violate("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS (0xCE): thread " +
                std::to_string(thread->Id) + " of the unloaded driver would run");
    }
    return true;
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

NTSTATUS LoadDriver(DriverEntryRoutine entry, std::string_view registryPath)
{
    HarnessEntry();
    PDRIVER_OBJECT driver;
    PUNICODE_STRING path;
    {
        Guard guard;
        auto object = std::make_unique<_DRIVER_OBJECT>();
        object->Header = ObjectHeader{ObjectKind::Driver, 1, false};
        object->RegistryPathText = Widen(registryPath);
        object->RegistryPath.Length = (USHORT)(object->RegistryPathText.size() * sizeof(WCHAR));
        object->RegistryPath.MaximumLength = object->RegistryPath.Length;
        object->RegistryPath.Buffer = object->RegistryPathText.data();
        driver = object.get();
        path = &object->RegistryPath;
        K->KnownObjects.insert(driver);
        K->Drivers.push_back(std::move(object));
        K->Driver = driver;
        K->ImageUnloaded = false;
        K->AdapterStarted = false;
        K->VideoDeviceOpen = false;
        K->AdapterPower = VideoPowerOn;
        // A fresh image: its start-up code is there until this DriverEntry
        // returns.
        K->DriverEntryReturned.store(false, std::memory_order_relaxed);
    }
    NTSTATUS status = CallMiniport("DriverEntry", [&] { return CallDriver(entry, driver, path); });
    Guard guard;
    // The platform discards the start-up section once DriverEntry returns,
    // and lets the devices created in it be opened.
    K->DriverEntryReturned.store(true, std::memory_order_relaxed);
    FinishDriverEntryDevices(driver);
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::Boot);
        event.Status = status;
        event.Ok = NT_SUCCESS(status);
        Emit(std::move(event));
    }
    return status;
}

PDRIVER_OBJECT DriverObject()
{
    HarnessEntry();
    return K->Driver;
}

void SetVideoPortInitializeStatus(ULONG status)
{
    HarnessEntry();
    Guard guard;
    K->VideoPortStatus = status;
}

void FailNextVideoPortInitialize(unsigned n, ULONG status)
{
    HarnessEntry();
    Guard guard;
    K->FailVideoPortInitialize = n;
    K->FailVideoPortInitializeStatus = status;
}

const std::vector<VideoPortInitializeCall> &VideoPortInitializeCalls()
{
    HarnessEntry();
    return K->VideoPortCalls;
}

const VIDEO_HW_INITIALIZATION_DATA *HwInitData()
{
    HarnessEntry();
    return K->HaveTable ? &K->Table : nullptr;
}

void FailNextAddDevices(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailAddDevices = n;
    K->FailAddDevicesStatus = status;
}

void FailNextAdapterStarts(unsigned n, NTSTATUS status)
{
    HarnessEntry();
    Guard guard;
    K->FailStarts = n;
    K->FailStartsStatus = status;
}

NTSTATUS AddAdapter()
{
    HarnessEntry();
    Guard guard;
    if (!Table("AddAdapter") || K->ImageUnloaded || !K->PnpMiniport)
        return StatusNoSuchDevice;
    if (K->VideoDevice)
        return STATUS_SUCCESS;
    NTSTATUS status = AddAdapterDevice();
    if (!NT_SUCCESS(status))
        UnloadIfUnused();
    return status;
}

StartAdapterResult StartAdapter()
{
    HarnessEntry();
    StartAdapterResult result{};
    result.FindStatus = ERROR_NO_MORE_DEVICES;
    VIDEO_HW_INITIALIZATION_DATA table;
    uint8_t *extension;
    size_t size;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("StartAdapter");
        if (!kept || !kept->HwFindAdapter || K->ImageUnloaded)
            return result;
        if (!K->PnpMiniport) {
            // A legacy adapter was found inside VideoPortInitialize.
            result.FindStatus = K->AdapterStarted ? NO_ERROR : ERROR_NO_MORE_DEVICES;
            return result;
        }
        // A later start of a started adapter: the plug-and-play manager
        // stops it first.
        K->AdapterStarted = false;
        if (!K->VideoDevice) {
            result.DeviceStatus = AddAdapterDevice();
            if (!NT_SUCCESS(result.DeviceStatus)) {
                UnloadIfUnused();
                return result;
            }
        }
        if (K->FailStarts) {
            // The start fails below the video port, before the miniport is
            // called; the plug-and-play manager removes the device.
            K->FailStarts--;
            result.DeviceStatus = K->FailStartsStatus;
            TraceAdapter("start", result.DeviceStatus);
            DeleteAdapterDevice("remove");
            return result;
        }
        table = *kept;
        size = table.HwDeviceExtensionSize;
        K->Extensions.emplace_back(new uint8_t[size ? size : 1]());
        extension = K->Extensions.back().get();
        K->Extension = extension;
    }
    std::unique_ptr<uint8_t[]> config(new uint8_t[ConfigInfoSize]());
    UCHAR again = 0;
    result.FindStatus = CallMiniport("HwFindAdapter", [&] {
        return CallDriver(table.HwFindAdapter, extension, K->HwContext, nullptr,
                          (PVIDEO_PORT_CONFIG_INFO)config.get(), &again);
    });
    result.Again = again;
    result.ExtensionUntouched = AllZero(extension, size);
    Guard guard;
    result.DeviceStatus = result.FindStatus == NO_ERROR ? STATUS_SUCCESS : StatusDeviceNotReady;
    TraceAdapter("start", result.DeviceStatus);
    if (result.FindStatus == NO_ERROR)
        K->AdapterStarted = true;
    else
        DeleteAdapterDevice("remove");
    return result;
}

namespace
{

// The display driver's open of the video device: the first open of a
// started adapter calls HwInitialize; the device is exclusive.
NTSTATUS OpenForDisplayDriver()
{
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        if (!K->AdapterStarted || !K->HaveTable)
            return StatusDeviceNotReady;
        if (K->VideoDeviceOpen)
            return StatusAccessDenied;
        table = K->Table;
        extension = K->Extension;
    }
    BOOLEAN initialized = CallMiniport("HwInitialize", [&] {
        return CallDriverThen(AdapterState{}, table.HwInitialize, extension);
    });
    Guard guard;
    NTSTATUS status = initialized ? STATUS_SUCCESS : StatusDeviceNotReady;
    K->VideoDeviceOpen = initialized != FALSE;
    TraceAdapter("open", status);
    return status;
}

} // namespace

NTSTATUS OpenVideoDevice()
{
    HarnessEntry();
    return OpenForDisplayDriver();
}

NTSTATUS OpenVideoDeviceFromUserMode()
{
    HarnessEntry();
    Guard guard;
    // The video port creates the device exclusive and win32k holds it; a
    // user process cannot open it at all.
    return K->VideoDevice ? StatusAccessDenied : STATUS_OBJECT_NAME_NOT_FOUND;
}

void CloseVideoDevice()
{
    HarnessEntry();
    Guard guard;
    K->VideoDeviceOpen = false;
}

std::string VideoDeviceName()
{
    HarnessEntry();
    Guard guard;
    return K->VideoDevice ? K->VideoDevice->Name : std::string();
}

bool RemoveAdapter(bool surprise)
{
    HarnessEntry();
    StartIoTurn turn;
    Guard guard;
    if (!K->VideoDevice)
        return false;
    // An orderly removal (a disable) asks first; the video port refuses it
    // while the display driver has the device open.
    if (!surprise && K->VideoDeviceOpen) {
        TraceAdapter("remove", StatusAccessDenied);
        return false;
    }
    DeleteAdapterDevice("remove");
    return true;
}

bool DriverUnloaded()
{
    HarnessEntry();
    return K->ImageUnloaded;
}

namespace
{

VP_STATUS AdapterPowerRequest(ULONG state)
{
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        if (!K->AdapterStarted || !K->HaveTable)
            return ErrorNotReady;
        table = K->Table;
        extension = K->Extension;
    }
    VIDEO_POWER_MANAGEMENT request{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    VP_STATUS status = CallMiniport("HwGetPowerState", [&] {
        return CallDriverThen(CallerOwnState{}, table.HwGetPowerState, extension,
                              DISPLAY_ADAPTER_HW_ID, &request);
    });
    if (status != NO_ERROR)
        return status;
    request = VIDEO_POWER_MANAGEMENT{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    status = CallMiniport("HwSetPowerState", [&] {
        return CallDriverThen(AdapterState{}, table.HwSetPowerState, extension,
                              DISPLAY_ADAPTER_HW_ID, &request);
    });
    Guard guard;
    K->AdapterPower = state;
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::Power);
        event.Code = state;
        event.Status = status;
        event.Ok = status == NO_ERROR;
        Emit(std::move(event));
    }
    return status;
}

} // namespace

VP_STATUS SetSystemPower(SystemPower transition)
{
    HarnessEntry();
    // The adapter has no children: only a system transition reaches the
    // miniport, for the adapter, as a query and then a set. Every other
    // state is entered from VideoPowerOn, and left to it.
    ULONG state = transition == SystemPower::Sleep       ? VideoPowerOff
                  : transition == SystemPower::Hibernate ? VideoPowerHibernate
                                                         : VideoPowerOn;
    bool on = K->AdapterPower == VideoPowerOn;
    if ((state == VideoPowerOn) == on)
        return NO_ERROR;
    return AdapterPowerRequest(state);
}

PVOID DeviceExtension()
{
    HarnessEntry();
    return K->Extension;
}

IoctlResult Ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength, uint8_t prefill,
                  ULONG_PTR presetInformation, VP_STATUS presetStatus)
{
    // Up to HwStartIO it reads the adapter's state (the wait at the gate and
    // an open for the display driver, which changes it after HwInitialize,
    // are steps of their own); after it, the request's own buffers and the
    // gate.
    HarnessEntryAs(Access{&AdapterObject, KernelReadPoint});
    StartIoTurn turn;
    IoctlResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = K->ImageUnloaded ? &K->Table : Table("Ioctl");
        if (!kept || !kept->HwStartIO)
            return result;
    }
    // The display driver's EngDeviceIoControl: an IRP_MJ_DEVICE_CONTROL on
    // the video device, which it opens first if it has not yet.
    bool open;
    {
        Guard guard;
        open = K->VideoDeviceOpen;
    }
    if (!open && !NT_SUCCESS(OpenForDisplayDriver())) {
        Guard guard;
        result.Status = ErrorNotReady;
        if (Tracing()) {
            TraceEvent &event = ReusedEvent(CurrentTime(), TraceKind::Ioctl);
            event.Code = code;
            event.Status = result.Status;
            event.Ok = false;
            event.Information = 0;
            event.Data.clear();
            EmitReused(event);
        }
        return result;
    }
    {
        Guard guard;
        table = K->Table;
        extension = K->Extension;
        result.Delivered = true;
    }
    // METHOD_BUFFERED: one system buffer of max(input, output) bytes for both
    // directions. The I/O manager copies the input in and leaves the rest as
    // the pool gave it; the pattern stands for that left-over memory.
    // Guard bytes follow it: the driver writing past its end is a finding
    // (Driver Verifier's I/O checks allocate it from special pool).
    size_t size = std::max<size_t>(input.size(), outputLength);
    std::unique_ptr<uint8_t[]> buffer(size ? new uint8_t[size + SystemBufferGuard] : nullptr);
    if (size) {
        memset(buffer.get(), prefill, size);
        memset(buffer.get() + size, SystemBufferGuardFill, SystemBufferGuard);
        if (!input.empty())
            memcpy(buffer.get(), input.data(), input.size());
    }
    STATUS_BLOCK status;
    status.Status = presetStatus;
    status.Information = presetInformation;
    VIDEO_REQUEST_PACKET packet;
    packet.IoControlCode = code;
    packet.StatusBlock = &status;
    packet.InputBuffer = buffer.get();
    packet.InputBufferLength = (ULONG)input.size();
    packet.OutputBuffer = buffer.get();
    packet.OutputBufferLength = outputLength;
    {
        // Requests from several threads reach HwStartIO one after another.
        std::unique_lock<std::mutex> serial(K->StartIoMutex, std::defer_lock);
        if (K->FreeRunning)
            serial.lock();
        result.Returned = CallMiniport("HwStartIO", [&] {
            return CallDriverThen(AfterStartIo{}, table.HwStartIO, extension, &packet);
        });
    }
    if (size)
        CheckSystemBufferGuard(code, buffer.get(), size);
    result.Status = status.Status;
    result.Information = status.Information;
    std::span<const uint8_t> reply = CopyBack(code, {buffer.get(), size}, (ULONG)input.size(),
                                              outputLength, prefill, status, presetInformation);
    result.Output.assign(reply.begin(), reply.end());
    Guard guard;
    if (Tracing()) {
        // Built in the kernel's reused record (the log, when kept, gets a
        // copy).
        TraceEvent &event = ReusedEvent(CurrentTime(), TraceKind::Ioctl);
        event.Code = code;
        event.Status = result.Status;
        event.Ok = result.Status == NO_ERROR;
        event.Information = result.Information;
        event.Data.assign(result.Output.begin(), result.Output.end());
        EmitReused(event);
    }
    return result;
}

VP_STATUS SetPowerState(ULONG state, ULONG hwId)
{
    HarnessEntryAs(Access{&AdapterObject, KernelReadPoint});
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("SetPowerState");
        if (!kept || !kept->HwSetPowerState)
            return ERROR_INSUFFICIENT_BUFFER;
        table = *kept;
        extension = K->Extension;
    }
    VIDEO_POWER_MANAGEMENT request{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    VP_STATUS status = CallMiniport("HwSetPowerState", [&] {
        return CallDriverThen(CallerOwnState{}, table.HwSetPowerState, extension, hwId, &request);
    });
    Guard guard;
    if (Tracing()) {
        TraceEvent event = NewEvent(CurrentTime(), TraceKind::Power);
        event.Code = state;
        event.Status = status;
        event.Ok = status == NO_ERROR;
        Emit(std::move(event));
    }
    return status;
}

VP_STATUS GetPowerState(ULONG state, ULONG hwId, VIDEO_POWER_MANAGEMENT *reply)
{
    HarnessEntryAs(Access{&AdapterObject, KernelReadPoint});
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("GetPowerState");
        if (!kept || !kept->HwGetPowerState)
            return ERROR_INSUFFICIENT_BUFFER;
        table = *kept;
        extension = K->Extension;
    }
    VIDEO_POWER_MANAGEMENT request{sizeof(VIDEO_POWER_MANAGEMENT), 0, state};
    VP_STATUS status = CallMiniport("HwGetPowerState", [&] {
        return CallDriverThen(CallerOwnState{}, table.HwGetPowerState, extension, hwId, &request);
    });
    if (reply)
        *reply = request;
    return status;
}

ChildResult EnumerateChild(ULONG childIndex)
{
    HarnessEntry();
    ChildResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("EnumerateChild");
        if (!kept || !kept->HwGetVideoChildDescriptor) {
            result.Status = ERROR_NO_MORE_DEVICES;
            return result;
        }
        table = *kept;
        extension = K->Extension;
    }
    uint8_t info[ChildEnumInfoSize] = {};
    ULONG header[3] = {ChildEnumInfoSize, (ULONG)result.Descriptor.size(), childIndex};
    memcpy(info, header, sizeof header);
    VIDEO_CHILD_TYPE type = (VIDEO_CHILD_TYPE)0;
    ULONG unused = 0;
    result.Status = CallMiniport("HwGetVideoChildDescriptor", [&] {
        return CallDriver(table.HwGetVideoChildDescriptor, extension, (PVIDEO_CHILD_ENUM_INFO)info,
                          &type, result.Descriptor.data(), &result.UId, &unused);
    });
    result.Type = type;
    return result;
}

} // namespace sim

extern "C" {

ULONG VideoPortInitialize(PVOID Argument1, PVOID Argument2,
                          PVIDEO_HW_INITIALIZATION_DATA HwInitializationData, PVOID HwContext)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("VideoPortInitialize");
    Kernel *k = K;
    VideoPortInitializeCall call{};
    ULONG status;
    {
        Guard guard;
        if (CurrentThread()->Irql != PASSIVE_LEVEL)
            Violate("VideoPortInitialize at IRQL " + std::to_string(CurrentThread()->Irql));
        if (K->DriverEntryReturned.load(std::memory_order_relaxed))
            Violate("VideoPortInitialize after DriverEntry returned: a miniport calls it from "
                    "its DriverEntry");
        if (HwContext)
            Violate("VideoPortInitialize with a HwContext: it must be NULL");
        call.Time = CurrentTime();
        call.Argument1 = Argument1;
        call.Argument2 = Argument2;
        call.HwContext = HwContext;
        status = k->VideoPortStatus;
        if (!HwInitializationData) {
            status = (ULONG)STATUS_INVALID_PARAMETER;
        } else {
            // The port reads as much of the table as its size says: the older
            // layouts end before the power and child callbacks.
            call.HwInitDataSize = HwInitializationData->HwInitDataSize;
            if (call.HwInitDataSize > HwInitDataSize || call.HwInitDataSize < OldestInitDataSize)
                status = (ULONG)StatusRevisionMismatch;
            else
                ReadBytes(&call.Table, HwInitializationData, call.HwInitDataSize);
            const VIDEO_HW_INITIALIZATION_DATA &t = call.Table;
            if (NT_SUCCESS((NTSTATUS)status) &&
                (!t.HwFindAdapter || !t.HwInitialize || !t.HwStartIO))
                status = (ULONG)STATUS_INVALID_PARAMETER;
        }
        if (k->FailVideoPortInitialize) {
            k->FailVideoPortInitialize--;
            status = k->FailVideoPortInitializeStatus;
        }
        if (NT_SUCCESS((NTSTATUS)status)) {
            const VIDEO_HW_INITIALIZATION_DATA &t = call.Table;
            k->Table = t;
            k->HaveTable = true;
            k->HwContext = HwContext;
            k->PnpMiniport = call.HwInitDataSize >= PnpInitDataSize && t.HwSetPowerState &&
                             t.HwGetPowerState && t.HwGetVideoChildDescriptor;
        }
    }
    // A table that does not qualify as Plug and Play is detected the legacy
    // way: the port creates the device and calls HwFindAdapter now, inside
    // this call, before DriverEntry has gone on.
    if (NT_SUCCESS((NTSTATUS)status) && !k->PnpMiniport) {
        VIDEO_HW_INITIALIZATION_DATA table = call.Table;
        uint8_t *extension;
        size_t size = table.HwDeviceExtensionSize;
        {
            Guard guard;
            k->VideoDevice =
                CreatePortDevice((PDRIVER_OBJECT)Argument1,
                                 "\\Device\\Video" + std::to_string(k->VideoDeviceNumber++),
                                 FILE_DEVICE_VIDEO, true);
            k->Extensions.emplace_back(new uint8_t[size ? size : 1]());
            extension = k->Extensions.back().get();
            k->Extension = extension;
        }
        std::unique_ptr<uint8_t[]> config(new uint8_t[ConfigInfoSize]());
        UCHAR again = 0;
        VP_STATUS found = CallMiniport("HwFindAdapter", [&] {
            return CallDriver(table.HwFindAdapter, extension, HwContext, nullptr,
                              (PVIDEO_PORT_CONFIG_INFO)config.get(), &again);
        });
        Guard guard;
        if (found == NO_ERROR) {
            k->AdapterStarted = true;
        } else {
            DeletePortDevice(k->VideoDevice);
            k->VideoDevice = nullptr;
            k->HaveTable = false;
            status = (ULONG)StatusNoSuchDevice;
        }
    }
    Guard guard;
    call.Status = status;
    k->VideoPortCalls.push_back(call);
    return status;
}

void VideoPortZeroMemory(PVOID Destination, ULONG Length)
{
    EnsureKernelForThread();
    KVR_SIM_CHECK_CALLER("VideoPortZeroMemory");
    memset(Destination, 0, Length);
}

} // extern "C"
