// The engine's own drawing into a GDI-managed surface (the primary surface
// when the driver hooks nothing): solid fills and screen-to-screen copies,
// in the surface's format and palette, clipped to the surface. And the
// companion's read of a pixel from the data file.

#include <algorithm>
#include <cstring>

#include "record.h"

using namespace sim::detail;

namespace
{

// The surface the engine draws into, when it may: a standard-format bitmap
// in a format it draws, hooks nothing of what it draws, and (over a file)
// over a view still mapped.
GdiSurface *DrawableSurface()
{
    if (K->Stage != DisplayStage::Surface)
        return nullptr;
    GdiSurface *surface = FindSurface(K->Primary);
    if (!surface || surface->Object.pvScan0 == nullptr ||
        FormatBytes(surface->Object.iBitmapFormat) == 0)
        return nullptr;
    if (surface->Hooks & (HOOK_BITBLT | HOOK_COPYBITS))
        return nullptr;
    if (surface->OverFile && !K->Mappings.count(surface->OverFile))
        return nullptr;
    return surface;
}

// 0xRRGGBB as the surface stores it: through the device's palette, 5-6-5
// bit fields or B,G,R bytes.
ULONG DevicePixel(ULONG rgb, ULONG format)
{
    ULONG red = rgb >> 16 & 0xFF, green = rgb >> 8 & 0xFF, blue = rgb & 0xFF;
    if (format == BMF_16BPP)
        return (red >> 3) << 11 | (green >> 2) << 5 | blue >> 3;
    return red << 16 | green << 8 | blue;
}

ULONG RgbOfPixel(ULONG pixel, ULONG bitsPerPixel)
{
    if (bitsPerPixel != 16)
        return pixel & 0xFFFFFF;
    ULONG red = pixel >> 11 & 0x1F, green = pixel >> 5 & 0x3F, blue = pixel & 0x1F;
    return (red << 3 | red >> 2) << 16 | (green << 2 | green >> 4) << 8 | (blue << 3 | blue >> 2);
}

uint8_t *Row(const SURFOBJ &object, LONG y)
{
    return static_cast<uint8_t *>(object.pvScan0) + ptrdiff_t(object.lDelta) * y;
}

// Clips a rectangle to the surface; false when nothing is left.
bool Clip(const SURFOBJ &object, LONG &x, LONG &y, LONG &width, LONG &height)
{
    LONG right = std::min(x + width, object.sizlBitmap.cx);
    LONG bottom = std::min(y + height, object.sizlBitmap.cy);
    x = x < 0 ? 0 : x;
    y = y < 0 ? 0 : y;
    width = right - x;
    height = bottom - y;
    return width > 0 && height > 0;
}

void StorePixel(uint8_t *at, ULONG pixel, ULONG bytes)
{
    for (ULONG i = 0; i < bytes; ++i)
        at[i] = uint8_t(pixel >> (8 * i));
}

} // namespace

namespace sim
{

bool DrawFill(LONG x, LONG y, LONG width, LONG height, ULONG rgb)
{
    HarnessEntry();
    GdiSurface *surface = DrawableSurface();
    if (!surface)
        return false;
    SURFOBJ &object = surface->Object;
    if (!Clip(object, x, y, width, height))
        return true;
    ULONG bytes = FormatBytes(object.iBitmapFormat);
    ULONG pixel = DevicePixel(rgb, object.iBitmapFormat);
    for (LONG row = y; row < y + height; ++row)
        for (LONG column = x; column < x + width; ++column)
            StorePixel(Row(object, row) + size_t(column) * bytes, pixel, bytes);
    return true;
}

bool DrawCopy(LONG x, LONG y, LONG width, LONG height, LONG toX, LONG toY)
{
    HarnessEntry();
    GdiSurface *surface = DrawableSurface();
    if (!surface)
        return false;
    SURFOBJ &object = surface->Object;
    // Clip the source, then the destination, moving the other with it.
    LONG fromX = x, fromY = y;
    if (!Clip(object, x, y, width, height))
        return true;
    toX += x - fromX;
    toY += y - fromY;
    LONG destX = toX, destY = toY;
    if (!Clip(object, toX, toY, width, height))
        return true;
    x += toX - destX;
    y += toY - destY;
    ULONG bytes = FormatBytes(object.iBitmapFormat);
    // Overlapping rows: copy in the order that reads each row before it is
    // written.
    bool upward = toY > y;
    for (LONG i = 0; i < height; ++i) {
        LONG row = upward ? height - 1 - i : i;
        memmove(Row(object, toY + row) + size_t(toX) * bytes,
                Row(object, y + row) + size_t(x) * bytes, size_t(width) * bytes);
    }
    return true;
}

std::optional<ULONG> DataFilePixel(ULONG x, ULONG y)
{
    HarnessEntry();
    if (K->DataFile.empty() || K->Stage != DisplayStage::Surface)
        return std::nullopt;
    auto found = K->Files.find(K->DataFile);
    if (found == K->Files.end())
        return std::nullopt;
    ULONG width = K->Caps.ulHorzRes, bits = K->Caps.cBitsPixel;
    if (x >= width || y >= K->Caps.ulVertRes || (bits != 16 && bits != 24 && bits != 32))
        return std::nullopt;
    // The layout the companion reads: top-down rows of width x bytes per
    // pixel rounded up to 4, from offset 0.
    ULONG bytes = bits / 8;
    size_t stride = (size_t(width) * bytes + 3) & ~size_t(3);
    size_t offset = stride * y + size_t(x) * bytes;
    const GdiFile &file = found->second;
    if (offset + bytes > file.Size)
        return std::nullopt;
    ULONG pixel = 0;
    for (ULONG i = 0; i < bytes; ++i)
        pixel |= ULONG(file.Bytes[offset + i]) << (8 * i);
    return RgbOfPixel(pixel, bits);
}

} // namespace sim
