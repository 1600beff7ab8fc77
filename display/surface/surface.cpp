// The frame buffer. The data file holds the pixels and nothing else: top-down
// rows of ModeStride bytes from offset 0, the file exactly stride x height
// bytes (EngMapFile truncates or extends it to that size), so the companion
// can read what GDI drew without knowing anything but the mode.

#include "surface.h"

// Maps the data file at the surface's size; false (nothing mapped) when the
// miniport gives no path or the mapping fails.
static bool MapDataFile(DISPLAY_PDEV *Pdev, ULONG Size)
{
    WCHAR Path[KVR_DATA_FILE_PATH_SIZE / 2];
    if (!QueryDataFilePath(Pdev->Driver, Path))
        return false;
    ULONG_PTR File = 0;
    PVOID View = EngMapFile(Path, Size, &File);
    if (View == nullptr)
        return false;
    Pdev->Frame.View = View;
    Pdev->Frame.File = File;
    return true;
}

static void UnmapDataFile(DISPLAY_PDEV *Pdev)
{
    if (Pdev->Frame.File != 0)
        EngUnmapFile(Pdev->Frame.File);
    Pdev->Frame.File = 0;
    Pdev->Frame.View = nullptr;
}

HSURF EnableFrameBuffer(DISPLAY_PDEV *Pdev)
{
    const DISPLAY_MODE &Mode = Pdev->Mode;
    ULONG Stride = ModeStride(Mode);
    SIZEL Size = {LONG(Mode.Width), LONG(Mode.Height)};
    // A mode is at most 65535 x 65535 x 4 bytes a pixel: the product can
    // pass 4 GiB, which no ULONG size can map.
    unsigned long long Bytes = (unsigned long long)Stride * Mode.Height;
    bool Mapped = Bytes <= 0xFFFFFFFFull && MapDataFile(Pdev, ULONG(Bytes));
    // Over the view GDI uses the driver's memory; without one it allocates
    // (and zeroes) the bits itself.
    HBITMAP Bitmap = EngCreateBitmap(Size, LONG(Stride), ModeFormat(Mode), BMF_TOPDOWN,
                                     Mapped ? Pdev->Frame.View : nullptr);
    if (Bitmap == nullptr && Mapped) {
        UnmapDataFile(Pdev);
        Mapped = false;
        Bitmap = EngCreateBitmap(Size, LONG(Stride), ModeFormat(Mode), BMF_TOPDOWN, nullptr);
    }
    if (Bitmap == nullptr)
        return nullptr;
    HSURF Surface = reinterpret_cast<HSURF>(Bitmap);
    // The driver hooks no drawing: GDI draws every call into the bits.
    if (!EngAssociateSurface(Surface, Pdev->Device, 0)) {
        EngDeleteSurface(Surface);
        UnmapDataFile(Pdev);
        return nullptr;
    }
    Pdev->Frame.Surface = Surface;
    return Surface;
}

void DisableFrameBuffer(DISPLAY_PDEV *Pdev)
{
    if (Pdev->Frame.Surface != nullptr)
        EngDeleteSurface(Pdev->Frame.Surface);
    Pdev->Frame.Surface = nullptr;
    UnmapDataFile(Pdev);
}
