// The video port: VideoPortInitialize and VideoPortZeroMemory, loading the
// driver, and the calls the port makes into the miniport's callback table
// (adapter start, control requests, power, child enumeration).

#include <algorithm>
#include <cstdio>

#include "internal.h"

namespace sim::detail
{

namespace
{

constexpr ULONG HwInitDataSize = sizeof(VIDEO_HW_INITIALIZATION_DATA);
constexpr VP_STATUS ErrorMoreData = 234; // ERROR_MORE_DATA
constexpr size_t ConfigInfoSize = 512;   // the port's configuration record, zeroed
constexpr size_t ChildEnumInfoSize =
    24; // Size, ChildDescriptorSize, ChildIndex, ACPIHwId, extension

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

} // namespace

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

StartAdapterResult StartAdapter()
{
    HarnessEntry();
    StartAdapterResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    uint8_t *extension;
    size_t size;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("StartAdapter");
        if (!kept || !kept->HwFindAdapter) {
            result.FindStatus = ERROR_NO_MORE_DEVICES;
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
    if (result.FindStatus == NO_ERROR && table.HwInitialize)
        result.Initialized = CallMiniport("HwInitialize", [&] {
                                 return CallDriver(table.HwInitialize, extension);
                             }) != FALSE;
    result.ExtensionUntouched = AllZero(extension, size);
    return result;
}

PVOID DeviceExtension()
{
    HarnessEntry();
    return K->Extension;
}

IoctlResult Ioctl(ULONG code, std::span<const uint8_t> input, ULONG outputLength, uint8_t prefill,
                  ULONG_PTR presetInformation, VP_STATUS presetStatus)
{
    HarnessEntry();
    IoctlResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = Table("Ioctl");
        if (!kept || !kept->HwStartIO)
            return result;
        table = *kept;
        extension = K->Extension;
    }
    // METHOD_BUFFERED: one system buffer of max(input, output) bytes for both
    // directions. The I/O manager copies the input in and leaves the rest as
    // the pool gave it; the pattern stands for that left-over memory.
    size_t size = std::max<size_t>(input.size(), outputLength);
    std::unique_ptr<uint8_t[]> buffer(size ? new uint8_t[size] : nullptr);
    if (size) {
        memset(buffer.get(), prefill, size);
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
        result.Returned = CallMiniport(
            "HwStartIO", [&] { return CallDriver(table.HwStartIO, extension, &packet); });
    }
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
    HarnessEntry();
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
        return CallDriver(table.HwSetPowerState, extension, hwId, &request);
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
    HarnessEntry();
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
        return CallDriver(table.HwGetPowerState, extension, hwId, &request);
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
    Guard guard;
    if (CurrentThread()->Irql != PASSIVE_LEVEL)
        Violate("VideoPortInitialize at IRQL " + std::to_string(CurrentThread()->Irql));
    if (K->DriverEntryReturned.load(std::memory_order_relaxed))
        Violate("VideoPortInitialize after DriverEntry returned: a miniport calls it from "
                "its DriverEntry");
    VideoPortInitializeCall call{};
    call.Time = CurrentTime();
    call.Argument1 = Argument1;
    call.Argument2 = Argument2;
    call.HwContext = HwContext;
    ULONG status = k->VideoPortStatus;
    if (!HwInitializationData) {
        status = (ULONG)STATUS_INVALID_PARAMETER;
    } else {
        call.HwInitDataSize = HwInitializationData->HwInitDataSize;
        if (call.HwInitDataSize != HwInitDataSize)
            status = (ULONG)StatusRevisionMismatch;
        else
            ReadBytes(&call.Table, HwInitializationData, HwInitDataSize);
    }
    if (k->FailVideoPortInitialize) {
        k->FailVideoPortInitialize--;
        status = k->FailVideoPortInitializeStatus;
    }
    call.Status = status;
    k->VideoPortCalls.push_back(call);
    if (NT_SUCCESS((NTSTATUS)status) && call.HwInitDataSize == HwInitDataSize) {
        k->Table = call.Table;
        k->HaveTable = true;
        k->HwContext = HwContext;
    }
    return status;
}

void VideoPortZeroMemory(PVOID Destination, ULONG Length)
{
    EnsureKernel();
    KVR_SIM_CHECK_CALLER("VideoPortZeroMemory");
    memset(Destination, 0, Length);
}

} // extern "C"
