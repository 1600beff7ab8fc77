// Control interface: the companion application's private control codes and
// the mapping from panel type to display mode.

#ifndef KVR_CONTROL_H
#define KVR_CONTROL_H

#include "../state/state.h"

constexpr ULONG PrivateIoctl(ULONG Function)
{
    return CTL_CODE(FILE_DEVICE_VIDEO, Function, METHOD_BUFFERED, FILE_READ_ACCESS);
}

constexpr ULONG IoctlStartExternalSession = PrivateIoctl(0);
constexpr ULONG IoctlQueryOrientation = PrivateIoctl(2);
constexpr ULONG IoctlSetOrientation = PrivateIoctl(3);
constexpr ULONG IoctlActivateClient = PrivateIoctl(5);
constexpr ULONG IoctlQueryDisplayMode = PrivateIoctl(6);
constexpr ULONG IoctlQueryPowerOff = PrivateIoctl(9);
constexpr ULONG IoctlQueryDataFilePath = PrivateIoctl(11);
constexpr ULONG IoctlEndExternalSession = PrivateIoctl(12);
constexpr ULONG IoctlQueryWideModel = PrivateIoctl(13);
static_assert(IoctlStartExternalSession == 0x234000 && IoctlQueryWideModel == 0x234034,
              "private control codes");

constexpr ULONG DisplayModeReplySize = 6;

// The video port's route for every control request to the adapter; answers
// the private codes above (start_io.cpp).
BOOLEAN HwStartIO(PVOID HwDeviceExtension, PVIDEO_REQUEST_PACKET RequestPacket);

// Writes width, height and colour depth for the panel type in byte 0 of the
// record; for panel types 2-7 and 11-16 it writes nothing.
void GetPanelMode(const DEVICE_INFO_RECORD *Record, USHORT *Width, USHORT *Height,
                  UCHAR *BitsPerPixel);

#endif // KVR_CONTROL_H
