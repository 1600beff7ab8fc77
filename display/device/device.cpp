// The miniport's two replies the display driver itself needs: the display
// mode and the data file's path.

#include "device.h"

static ULONG ReadLittleEndian16(const UCHAR *Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8;
}

// QueryDisplayMode sent with no input: the reply's bytes are then the mode's
// own, or 0 for a panel without one.
bool QueryDisplayMode(HANDLE Driver, DISPLAY_MODE *Mode)
{
    UCHAR Reply[KVR_DISPLAY_MODE_SIZE] = {};
    DWORD Returned = 0;
    DWORD Status = EngDeviceIoControl(Driver, KVR_IOCTL_QUERY_DISPLAY_MODE, nullptr, 0, Reply,
                                      sizeof Reply, &Returned);
    if (Status != 0 || Returned < KVR_DISPLAY_MODE_SIZE)
        return false;
    Mode->Width = ReadLittleEndian16(Reply);
    Mode->Height = ReadLittleEndian16(Reply + 2);
    Mode->BitsPerPixel = Reply[4];
    if (Mode->Width == 0 || Mode->Height == 0)
        return false;
    return Mode->BitsPerPixel == 16 || Mode->BitsPerPixel == 24 || Mode->BitsPerPixel == 32;
}

bool QueryDataFilePath(HANDLE Driver, WCHAR *Path)
{
    DWORD Returned = 0;
    DWORD Status = EngDeviceIoControl(Driver, KVR_IOCTL_QUERY_DATA_FILE_PATH, nullptr, 0, Path,
                                      KVR_DATA_FILE_PATH_SIZE, &Returned);
    if (Status != 0 || Returned < KVR_DATA_FILE_PATH_SIZE)
        return false;
    // The miniport zero-fills the path; the driver relies on a terminator
    // only it puts there.
    Path[KVR_DATA_FILE_PATH_SIZE / 2 - 1] = 0;
    return Path[0] != 0;
}

ULONG ModeFormat(const DISPLAY_MODE &Mode)
{
    return Mode.BitsPerPixel == 16 ? BMF_16BPP : Mode.BitsPerPixel == 24 ? BMF_24BPP : BMF_32BPP;
}

ULONG ModeBytesPerPixel(const DISPLAY_MODE &Mode)
{
    return Mode.BitsPerPixel / 8;
}

ULONG ModeStride(const DISPLAY_MODE &Mode)
{
    return KVR_DATA_FILE_STRIDE(Mode.Width, Mode.BitsPerPixel);
}
