// The display driver's one record, the physical device (PDEV), and its
// requests to the miniport through the video device GDI opened for it.

#ifndef KVR_DISPLAY_DEVICE_H
#define KVR_DISPLAY_DEVICE_H

#include "../platform/kvr_ddi.h"
#include "../../include/kvr/kvr_interface.h"

// The pool tag of everything the driver allocates ("kvrd" in memory).
constexpr ULONG DisplayTag = 'd' << 24 | 'r' << 16 | 'v' << 8 | 'k';

// One display mode, as the miniport reports it.
struct DISPLAY_MODE {
    ULONG Width;
    ULONG Height;
    ULONG BitsPerPixel; // 16, 24 or 32
};

// The frame buffer: the mapped data file (File not 0) or a bitmap the
// engine allocated.
struct FRAME_BUFFER {
    HSURF Surface;
    PVOID View;
    ULONG_PTR File;
};

struct DISPLAY_PDEV {
    HANDLE Driver; // the video device: EngDeviceIoControl's target
    HDEV Device;   // the engine's handle, from DrvCompletePDEV
    DISPLAY_MODE Mode;
    HPALETTE Palette;
    FRAME_BUFFER Frame;
};

// Asks the miniport for its display mode; false when it has none (a width or
// height of 0), refuses, or reports a depth the driver cannot draw.
bool QueryDisplayMode(HANDLE Driver, DISPLAY_MODE *Mode);

// Asks the miniport for the data file's path (KVR_DATA_FILE_PATH_SIZE
// bytes, terminated); false when it refuses.
bool QueryDataFilePath(HANDLE Driver, WCHAR *Path);

// The mode's bitmap format, bytes per pixel and stride (bytes per row,
// rounded up to 4).
ULONG ModeFormat(const DISPLAY_MODE &Mode);
ULONG ModeBytesPerPixel(const DISPLAY_MODE &Mode);
ULONG ModeStride(const DISPLAY_MODE &Mode);

#endif // KVR_DISPLAY_DEVICE_H
