// The display-driver stand-in: its open of the adapter's exclusive video
// device (HwInitialize at that open), and the route of its control requests
// (HwStartIO only after the start and the open, one at a time), with the
// video port's checks of what HwStartIO copies back into the system buffer.

#include <algorithm>
#include <cstdio>

#include "record.h"
#include "videoport/port.h"

namespace sim::detail
{

namespace
{

constexpr VP_STATUS ErrorMoreData = 234; // ERROR_MORE_DATA

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

} // namespace

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

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
    guard.Unlock();
    // win32k loads the display driver that opened the device.
    if (initialized)
        LoadDisplayDriver();
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
    UnloadDisplayDriver();
    Guard guard;
    K->VideoDeviceOpen = false;
}

std::string VideoDeviceName()
{
    HarnessEntry();
    Guard guard;
    return K->VideoDevice ? K->VideoDevice->Name : std::string();
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
    return detail::SendToVideoDevice(code, input, outputLength, prefill, presetInformation,
                                     presetStatus);
}

} // namespace sim

namespace sim::detail
{

IoctlResult SendToVideoDevice(ULONG code, std::span<const uint8_t> input, ULONG outputLength,
                              uint8_t prefill, ULONG_PTR presetInformation, VP_STATUS presetStatus)
{
    StartIoTurn turn;
    IoctlResult result{};
    VIDEO_HW_INITIALIZATION_DATA table;
    PVOID extension;
    {
        Guard guard;
        const VIDEO_HW_INITIALIZATION_DATA *kept = K->UnloadRan ? &K->Table : Table("Ioctl");
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

} // namespace sim::detail
