// HwStartIO: the companion application's nine private control codes.
//
// Every code reports NO_ERROR or ERROR_INSUFFICIENT_BUFFER (122), the latter
// for every refusal; a refused request returns no bytes. A code the driver
// does not know changes nothing: in the private codes' access class
// (FILE_READ_ACCESS) it succeeds; any other (the video port's own
// IOCTL_VIDEO_* codes among them, FILE_ANY_ACCESS) answers
// ERROR_INVALID_FUNCTION, so that no caller takes a reply nobody wrote.

#include "control.h"
#include "../settings/settings.h"

constexpr ULONG SessionParamsSize = 8;
constexpr ULONG OrientationSize = 4;
constexpr ULONG FlagSize = 1;

static ULONG ReadLittleEndian32(const UCHAR *Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

static void WriteLittleEndian32(UCHAR *Bytes, ULONG Value)
{
    for (unsigned i = 0; i < 4; ++i)
        Bytes[i] = UCHAR(Value >> (8 * i));
}

static UCHAR *OutputBytes(PVIDEO_REQUEST_PACKET Request)
{
    return static_cast<UCHAR *>(Request->OutputBuffer);
}

static const UCHAR *InputBytes(PVIDEO_REQUEST_PACKET Request)
{
    return static_cast<const UCHAR *>(Request->InputBuffer);
}

// The count a code that returns no output reports. The I/O manager copies
// Information bytes back into the caller's output buffer, so the count of
// the input is reported only to a caller whose output buffer can take it,
// and 0 to any other.
static void ReportInputEcho(PVIDEO_REQUEST_PACKET Request, ULONG Count)
{
    Request->StatusBlock->Information = Request->OutputBufferLength >= Count ? Count : 0;
}

// Only the request that itself turns ExternalSession from 0 to 1 is taken;
// its two parameters and the record go out together under the lock.
static VP_STATUS StartExternalSession(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->InputBufferLength < SessionParamsSize)
        return ERROR_INSUFFICIENT_BUFFER;
    ReportInputEcho(Request, SessionParamsSize);
    DEVICE_STATUS_RECORD &Status = DriverState.DeviceStatusRecord;
    AcquireDeviceStatusLock();
    UCHAR Idle = 0;
    if (Status.ExternalSession.CompareExchange(Idle, 1)) {
        Status.SessionParam1.Store(ReadLittleEndian32(InputBytes(Request)));
        Status.SessionParam2.Store(ReadLittleEndian32(InputBytes(Request) + 4));
        WriteDeviceStatus(true);
    }
    ReleaseDeviceStatusLock();
    return NO_ERROR;
}

// A failed or empty read reports 0.
static VP_STATUS QueryOrientation(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->OutputBufferLength < OrientationSize)
        return ERROR_INSUFFICIENT_BUFFER;
    Request->StatusBlock->Information = OrientationSize;
    DriverState.OrientationValue.Store(0);
    QuerySetting(SettingOrientation, &DriverState.OrientationValue);
    WriteLittleEndian32(OutputBytes(Request), DriverState.OrientationValue.Load());
    return NO_ERROR;
}

static VP_STATUS SetOrientation(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->InputBufferLength < OrientationSize)
        return ERROR_INSUFFICIENT_BUFFER;
    ReportInputEcho(Request, OrientationSize);
    DriverState.OrientationValue.Store(ReadLittleEndian32(InputBytes(Request)));
    // A value the registry refused is lost: the caller is told so (HwStartIO
    // reports no bytes with a refusal).
    if (!WriteSetting(SettingOrientation, &DriverState.OrientationValue))
        return ERROR_INSUFFICIENT_BUFFER;
    return NO_ERROR;
}

// Every reported byte is defined: the bytes the panel's mode does not fill
// (byte 5, or all six for a panel type without a mode) are the caller's own
// input bytes where the input reaches them, else 0. The system buffer is
// pool memory that the I/O manager fills only with the input.
static VP_STATUS QueryDisplayMode(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->OutputBufferLength < DisplayModeReplySize)
        return ERROR_INSUFFICIENT_BUFFER;
    Request->StatusBlock->Information = DisplayModeReplySize;
    UCHAR *Reply = OutputBytes(Request);
    const UCHAR *Input = InputBytes(Request);
    for (ULONG i = 0; i < DisplayModeReplySize; ++i)
        Reply[i] = i < Request->InputBufferLength ? Input[i] : 0;
    GetPanelMode(&DriverState.DeviceInfoRecord, reinterpret_cast<USHORT *>(Reply),
                 reinterpret_cast<USHORT *>(Reply + 2), Reply + 4);
    return NO_ERROR;
}

// Reports PoweredOff and acknowledges it: the flag is cleared unless the
// display is still powered off. A power-off that HwSetPowerState records
// while this runs is not lost: the clear is a compare-exchange, and a clear
// that raced with a new VideoPowerOff is undone.
static UCHAR AcknowledgePowerOff(UCHAR Reported)
{
    Shared<UCHAR> &PoweredOff = DriverState.PoweredOff;
    if (Reported != 0 && DriverState.PowerState.Load() != VideoPowerOff) {
        UCHAR Expected = Reported;
        if (PoweredOff.CompareExchange(Expected, 0) &&
            DriverState.PowerState.Load() == VideoPowerOff)
            PoweredOff.Store(1);
    }
    return PoweredOff.Load();
}

static VP_STATUS QueryPowerOff(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->OutputBufferLength < FlagSize)
        return ERROR_INSUFFICIENT_BUFFER;
    Request->StatusBlock->Information = FlagSize;
    AcquireDeviceStatusLock();
    UCHAR Reported = DriverState.PoweredOff.Load();
    OutputBytes(Request)[0] = Reported;
    DriverState.DeviceStatusRecord.PowerOffSeen.Store(AcknowledgePowerOff(Reported));
    WriteDeviceStatus(true);
    ReleaseDeviceStatusLock();
    return NO_ERROR;
}

// Handed out only while the peer is attached and its acceleration level is 0
// or unreadable, and only when a complete path could be built.
static VP_STATUS QueryDataFilePath(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->OutputBufferLength < DataFilePathSize)
        return ERROR_INSUFFICIENT_BUFFER;
    if (DriverState.PeerDevice.Load() == nullptr)
        return ERROR_INSUFFICIENT_BUFFER;
    ULONG Level = 0;
    if (QueryAccelerationLevel(&Level) && Level != 0)
        return ERROR_INSUFFICIENT_BUFFER;
    if (!BuildDataFilePath())
        return ERROR_INSUFFICIENT_BUFFER;
    const auto *Path = reinterpret_cast<const UCHAR *>(DriverState.DataFilePath.Load());
    UCHAR *Reply = OutputBytes(Request);
    for (SIZE_T i = 0; i < DataFilePathSize; ++i)
        Reply[i] = Path[i];
    Request->StatusBlock->Information = DataFilePathSize;
    return NO_ERROR;
}

static VP_STATUS EndExternalSession()
{
    AcquireDeviceStatusLock();
    DriverState.DeviceStatusRecord.ExternalSession.Store(0);
    WriteDeviceStatus(true);
    ReleaseDeviceStatusLock();
    return NO_ERROR;
}

static VP_STATUS QueryWideModel(PVIDEO_REQUEST_PACKET Request)
{
    if (Request->OutputBufferLength < FlagSize)
        return ERROR_INSUFFICIENT_BUFFER;
    Request->StatusBlock->Information = FlagSize;
    OutputBytes(Request)[0] = DriverState.WideModel.Load();
    return NO_ERROR;
}

// The required-access field of a control code (bits 14 and 15).
static ULONG AccessOf(ULONG IoControlCode)
{
    return (IoControlCode >> 14) & 3;
}

static VP_STATUS ServeRequest(PVIDEO_REQUEST_PACKET Request)
{
    switch (Request->IoControlCode) {
    case IoctlStartExternalSession:
        return StartExternalSession(Request);
    case IoctlQueryOrientation:
        return QueryOrientation(Request);
    case IoctlSetOrientation:
        return SetOrientation(Request);
    case IoctlActivateClient:
        DriverState.ClientActive.Store(1);
        return NO_ERROR;
    case IoctlQueryDisplayMode:
        return QueryDisplayMode(Request);
    case IoctlQueryPowerOff:
        return QueryPowerOff(Request);
    case IoctlQueryDataFilePath:
        return QueryDataFilePath(Request);
    case IoctlEndExternalSession:
        return EndExternalSession();
    case IoctlQueryWideModel:
        return QueryWideModel(Request);
    default:
        return AccessOf(Request->IoControlCode) == FILE_READ_ACCESS ? NO_ERROR
                                                                    : ERROR_INVALID_FUNCTION;
    }
}

KVR_PAGED_CODE BOOLEAN HwStartIO(PVOID HwDeviceExtension, PVIDEO_REQUEST_PACKET RequestPacket)
{
    (void)HwDeviceExtension;
    VP_STATUS Status = ServeRequest(RequestPacket);
    RequestPacket->StatusBlock->Status = Status;
    if (Status != NO_ERROR)
        RequestPacket->StatusBlock->Information = 0;
    return TRUE;
}
