// EngDeviceIoControl: the display driver's only route to the miniport, an
// IRP_MJ_DEVICE_CONTROL on the video device the engine opened for it,
// through the video port to HwStartIO.

#include <algorithm>

#include "record.h"

using namespace sim::detail;

namespace
{

constexpr DWORD ErrorInvalidHandle = 6;
constexpr DWORD ErrorInvalidParameter = 87;
constexpr DWORD DeviceNotReady = 21; // ERROR_NOT_READY
// What the I/O manager leaves in a system buffer that the input does not
// fill: pool memory.
constexpr uint8_t SystemBufferFill = 0xE1;

} // namespace

extern "C" DWORD EngDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, PVOID lpInBuffer,
                                    DWORD nInBufferSize, PVOID lpOutBuffer, DWORD nOutBufferSize,
                                    LPDWORD lpBytesReturned)
{
    EnsureKernelForThread();
    {
        Guard guard;
        if (hDevice != VideoDeviceHandle) {
            Violate("EngDeviceIoControl on a handle other than the hDriver the engine gave");
            return ErrorInvalidHandle;
        }
        if (lpBytesReturned == nullptr || (nInBufferSize && lpInBuffer == nullptr) ||
            (nOutBufferSize && lpOutBuffer == nullptr)) {
            Violate("EngDeviceIoControl without lpBytesReturned, or with a length and no "
                    "buffer");
            return ErrorInvalidParameter;
        }
    }
    *lpBytesReturned = 0;
    std::span<const uint8_t> input(static_cast<const uint8_t *>(lpInBuffer), nInBufferSize);
    sim::IoctlResult result =
        SendToVideoDevice(dwIoControlCode, input, nOutBufferSize, SystemBufferFill, 0, NO_ERROR);
    // Not delivered: the adapter is not started or the device not open.
    if (!result.Delivered)
        return result.Status != NO_ERROR ? ULONG(result.Status) : DeviceNotReady;
    // The video port's status is a Win32 error code already; the I/O
    // manager copied the output back only where it succeeded.
    // (A count larger than the buffer is the video port's finding; the copy
    // here stays inside the buffer.)
    if (!result.Output.empty())
        memcpy(lpOutBuffer, result.Output.data(),
               std::min<size_t>(result.Output.size(), nOutBufferSize));
    *lpBytesReturned = DWORD(result.Information);
    return ULONG(result.Status);
}
