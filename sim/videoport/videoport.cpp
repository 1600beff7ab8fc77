// The video port: VideoPortInitialize and VideoPortZeroMemory, loading the
// driver, the adapter's device through its life (AddDevice, start, stop,
// removal, the driver's unload), and the calls the port makes into the
// miniport's callback table.

#include <algorithm>
#include <cstdio>

#include "record.h"
#include "videoport/port.h"

namespace sim::detail
{

namespace
{

constexpr ULONG HwInitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);

constexpr size_t ConfigInfoSize = 512; // the port's configuration record, zeroed

bool AllZero(const uint8_t *bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (bytes[i])
            return false;
    return true;
}

// The table sizes the port knows: up to HwSetPowerState (the oldest), up to
// AllowEarlyEnumeration, and the whole record.
constexpr ULONG OldestInitDataSize = offsetof(VIDEO_HW_INITIALIZATION_DATA, HwSetPowerState);

constexpr ULONG PnpInitDataSize = offsetof(VIDEO_HW_INITIALIZATION_DATA, HwQueryInterface);

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

// Once the driver has no device left, the I/O manager runs its unload
// routine (the video port's DriverUnload, which drops the miniport's table),
// whatever still references its driver object, and then drops its own
// reference. The image goes only when no other reference is left: whatever
// of the driver is still alive then is a finding, and code of the image that
// would run later is another. While a reference keeps it, the image stays
// mapped, its threads and callbacks run on, and the driver cannot be loaded
// for a device again (AddAdapterAfterUnload).
void UnloadIfUnused()
{
    Kernel *k = K;
    PDRIVER_OBJECT driver = k->Driver;
    if (!driver || k->UnloadRan)
        return;
    for (auto &device : k->DeviceObjects)
        if (device->Driver == driver)
            return;
    k->UnloadRan = true;
    k->HaveTable = false;
    TraceAdapter("unload", STATUS_SUCCESS);
    if (ImageReferences(driver) > 0)
        return;
    k->ImageUnloaded = true;
    TraceAdapter("unmap", STATUS_SUCCESS);
    ReportLeftAtUnload(driver);
}

// AddDevice for a driver whose unload has run: the plug-and-play manager
// finds its image still in memory and cannot load it again; the device gets
// no driver. Returns whether that is the case (after tracing the failure).
bool AddAdapterAfterUnload()
{
    if (!K->UnloadRan || K->ImageUnloaded)
        return false;
    TraceAdapter("add", StatusDriverFailedPriorUnload);
    return true;
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

} // namespace

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

const VIDEO_HW_INITIALIZATION_DATA *Table(const char *what)
{
    if (!K->HaveTable) {
        Violate(std::string(what) + " without a successful VideoPortInitialize");
        return nullptr;
    }
    return &K->Table;
}

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

bool UnloadedImageWouldRun(Thread *thread)
{
    if (!thread->Orphaned)
        return false;
    if (!thread->Finished) {
        thread->Finished = true;
        ViolateWith([thread] {
            return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS (0xCE): thread " +
                   std::to_string(thread->Id) + " of the unloaded driver would run";
        });
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
        object->Header = ObjectHeader{ObjectKind::Driver, 1, false, 0};
        object->RegistryPathText = Widen(registryPath);
        object->RegistryPath.Length = (USHORT)(object->RegistryPathText.size() * sizeof(WCHAR));
        object->RegistryPath.MaximumLength = object->RegistryPath.Length;
        object->RegistryPath.Buffer = object->RegistryPathText.data();
        driver = object.get();
        path = &object->RegistryPath;
        K->KnownObjects.insert(driver);
        K->Drivers.push_back(std::move(object));
        K->Driver = driver;
        K->UnloadRan = false;
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
    if (AddAdapterAfterUnload())
        return StatusDriverFailedPriorUnload;
    if (K->ImageUnloaded || !Table("AddAdapter") || !K->PnpMiniport)
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
        if (AddAdapterAfterUnload()) {
            result.DeviceStatus = StatusDriverFailedPriorUnload;
            return result;
        }
        if (K->ImageUnloaded)
            return result;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("StartAdapter");
        if (!kept || !kept->HwFindAdapter)
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

bool DriverUnloadRan()
{
    HarnessEntry();
    return K->UnloadRan;
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
