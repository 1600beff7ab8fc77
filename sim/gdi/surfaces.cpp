// The surfaces and palettes the display driver asks the engine for:
// EngCreateBitmap, EngCreateDeviceSurface, EngModifySurface,
// EngAssociateSurface, EngDeleteSurface, EngCreatePalette and
// EngDeletePalette, each checked against its page.

#include "record.h"

using namespace sim::detail;

namespace
{

// BMF_1BPP .. BMF_8RLE (1 to 8) are the formats the pages list.
constexpr ULONG BMF_1BPP = 1;
constexpr ULONG BMF_8RLE = 8;
constexpr ULONG BMF_4RLE = 7;
constexpr FLONG KnownBitmapFlags = BMF_TOPDOWN | BMF_NOZEROINIT | BMF_DONTCACHE | BMF_USERMEM |
                                   BMF_KMSECTION | BMF_NOTSYSMEM | BMF_WINDOW_BLT | BMF_UMPDMEM;
constexpr ULONG PAL_CMYK = 0x10;
constexpr FLONG KnownSurfaceFlags = MS_NOTSYSTEMMEMORY | MS_SHAREDACCESS;

ULONG FormatBits(ULONG format)
{
    static const ULONG bits[] = {0, 1, 4, 8, 16, 24, 32, 4, 8};
    return format < sizeof bits / sizeof bits[0] ? bits[format] : 0;
}

bool KnownFormat(ULONG format)
{
    return format >= BMF_1BPP && format <= BMF_8RLE;
}

// The bytes of a row as the engine lays one out itself: DWORD-aligned.
ULONG EngineStride(LONG width, ULONG format)
{
    return ((ULONG(width) * FormatBits(format) + 31) / 32) * 4;
}

// Whether [bits, bits + bytes) lies inside memory the driver owns: a mapped
// view or an EngAllocMem block. Returns the mapping's identifier (or 1 for a
// block), 0 when it lies in neither.
ULONG_PTR OwnedMemory(const uint8_t *bits, size_t bytes)
{
    for (const auto &[id, mapping] : K->Mappings)
        if (bits >= mapping.View && bits + bytes <= mapping.View + mapping.Size)
            return id;
    for (const auto &[block, allocation] : K->Allocations) {
        auto *start = static_cast<const uint8_t *>(block);
        if (bits >= start && bits + bytes <= start + allocation.Size)
            return 1;
    }
    return 0;
}

// The driver functions each hook needs in the driver's table; hooks with no
// function of their own here (HOOK_SYNCHRONIZE and the obsolete ones) ask
// for none the engine checks.
struct HookFunction {
    FLONG Hook;
    ULONG Index;
    const char *Name;
};
constexpr HookFunction HookFunctions[] = {
    {0x00000001, 18, "DrvBitBlt"},
    {0x00000002, 20, "DrvStretchBlt"},
    {0x00000004, 42, "DrvPlgBlt"},
    {0x00000008, 22, "DrvTextOut"},
    {0x00000020, 14, "DrvStrokePath"},
    {0x00000040, 15, "DrvFillPath"},
    {0x00000080, 16, "DrvStrokeAndFillPath"},
    {0x00000400, 19, "DrvCopyBits"},
    {0x00002000, 31, "DrvLineTo"},
    {0x00008000, 69, "DrvStretchBltROP"},
    {0x00010000, 70, "DrvTransparentBlt"},
    {0x00020000, 71, "DrvAlphaBlend"},
    {0x00040000, 72, "DrvGradientFill"},
};

// The hooks are defined bits, and the driver has the function of each. GDI
// itself takes any hooks (and would call a function that is not there), so
// a missing function is a finding that does not fail the call.
bool CheckHooks(const char *routine, FLONG hooks)
{
    if (hooks & ~HOOK_FLAGS) {
        Violate(std::string(routine) + " with hooks 0x" + Hex(&hooks, sizeof hooks) +
                " outside HOOK_FLAGS");
        return false;
    }
    for (const HookFunction &function : HookFunctions) {
        if (!(hooks & function.Hook))
            continue;
        bool found = false;
        for (const DRVFN &entry : K->Functions)
            found = found || entry.iFunc == function.Index;
        if (!found) {
            Violate(std::string(routine) + " hooks " + function.Name +
                    ", which the driver's function table lacks");
        }
    }
    return true;
}

// The primary surface is the driver's own only until DrvEnableSurface
// returns it.
bool PrimaryTouched(const char *routine, HSURF surface)
{
    if (surface == nullptr || surface != K->Primary || K->Stage == DisplayStage::InEnableSurface)
        return false;
    Violate(std::string(routine) +
            " on the primary surface after DrvEnableSurface returned it (bug check, "
            "Knowledge Base 330248)");
    return true;
}

HSURF AddSurface(GdiSurface surface)
{
    uintptr_t handle = NewGdiHandle();
    surface.Object.hsurf = reinterpret_cast<HSURF>(handle);
    K->Surfaces.emplace(handle, std::move(surface));
    return reinterpret_cast<HSURF>(handle);
}

} // namespace

namespace sim::detail
{

ULONG FormatBytes(ULONG format)
{
    return format == BMF_16BPP ? 2 : format == BMF_24BPP ? 3 : format == BMF_32BPP ? 4 : 0;
}

} // namespace sim::detail

extern "C" {

HBITMAP EngCreateBitmap(SIZEL sizl, LONG lWidth, ULONG iFormat, FLONG fl, PVOID pvBits)
{
    EnsureKernelForThread();
    Guard guard;
    if (!KnownFormat(iFormat)) {
        Violate("EngCreateBitmap with format " + std::to_string(iFormat) +
                ": not one of BMF_1BPP to BMF_8RLE");
        return nullptr;
    }
    if (sizl.cx <= 0 || sizl.cy <= 0) {
        Violate("EngCreateBitmap of " + std::to_string(sizl.cx) + "x" + std::to_string(sizl.cy) +
                " pixels");
        return nullptr;
    }
    if (fl & ~KnownBitmapFlags) {
        Violate("EngCreateBitmap with undefined flags 0x" + Hex(&fl, sizeof fl));
        return nullptr;
    }
    GdiSurface surface;
    surface.TopDown = (fl & BMF_TOPDOWN) != 0;
    SURFOBJ &object = surface.Object;
    object.sizlBitmap = sizl;
    object.iBitmapFormat = iFormat;
    object.iType = STYPE_BITMAP;
    object.fjBitmap = USHORT(fl & BMF_TOPDOWN);
    ULONG stride = EngineStride(sizl.cx, iFormat);
    if (pvBits == nullptr) {
        // The engine lays the rows out itself, zeroed unless asked not to.
        surface.OwnSize = size_t(stride) * size_t(sizl.cy);
        surface.Own.reset(new uint8_t[surface.OwnSize]);
        memset(surface.Own.get(), fl & BMF_NOZEROINIT ? 0xC5 : 0, surface.OwnSize);
        pvBits = surface.Own.get();
    } else {
        if (iFormat == BMF_4RLE || iFormat == BMF_8RLE) {
            Violate("EngCreateBitmap over the driver's memory in a run-length format");
            return nullptr;
        }
        ULONG given = ULONG(lWidth < 0 ? -lWidth : lWidth);
        if (given < stride || given % 4 != 0) {
            Violate("EngCreateBitmap with a row of " + std::to_string(lWidth) + " bytes for " +
                    std::to_string(sizl.cx) + " pixels of " + std::to_string(FormatBits(iFormat)) +
                    " bits: rows are DWORD-aligned and at least " + std::to_string(stride) +
                    " bytes");
            return nullptr;
        }
        stride = given;
        size_t bytes = size_t(stride) * size_t(sizl.cy);
        ULONG_PTR owner = OwnedMemory(static_cast<const uint8_t *>(pvBits), bytes);
        if (owner == 0) {
            Violate("EngCreateBitmap over " + std::to_string(bytes) +
                    " bytes that no mapped view or EngAllocMem block of the driver holds");
            return nullptr;
        }
        surface.OverFile = K->Mappings.count(owner) ? owner : 0;
    }
    object.pvBits = pvBits;
    object.cjBits = ULONG(size_t(stride) * size_t(sizl.cy));
    // A bottom-up bitmap's first row in memory is the last one on the screen.
    if (surface.TopDown) {
        object.pvScan0 = pvBits;
        object.lDelta = LONG(stride);
    } else {
        object.pvScan0 = static_cast<uint8_t *>(pvBits) + size_t(stride) * size_t(sizl.cy - 1);
        object.lDelta = -LONG(stride);
    }
    return reinterpret_cast<HBITMAP>(AddSurface(std::move(surface)));
}

HSURF EngCreateDeviceSurface(DHSURF dhsurf, SIZEL sizl, ULONG iFormatCompat)
{
    EnsureKernelForThread();
    Guard guard;
    if (!KnownFormat(iFormatCompat) || sizl.cx <= 0 || sizl.cy <= 0) {
        Violate("EngCreateDeviceSurface of " + std::to_string(sizl.cx) + "x" +
                std::to_string(sizl.cy) + " in format " + std::to_string(iFormatCompat));
        return nullptr;
    }
    GdiSurface surface;
    surface.Device = true;
    surface.Object.dhsurf = dhsurf;
    surface.Object.sizlBitmap = sizl;
    surface.Object.iBitmapFormat = iFormatCompat;
    surface.Object.iType = STYPE_DEVICE;
    return AddSurface(std::move(surface));
}

BOOL EngModifySurface(HSURF hsurf, HDEV hdev, FLONG flHooks, FLONG flSurface, DHSURF dhsurf,
                      PVOID pvScan0, LONG lDelta, PVOID pvReserved)
{
    EnsureKernelForThread();
    Guard guard;
    GdiSurface *surface = FindSurface(hsurf);
    if (!surface) {
        Violate("EngModifySurface of a surface the engine did not make");
        return FALSE;
    }
    if (PrimaryTouched("EngModifySurface", hsurf))
        return FALSE;
    if (pvReserved != nullptr || (flSurface & ~KnownSurfaceFlags) || hdev != EngineDevice) {
        Violate("EngModifySurface with pvReserved not NULL, undefined surface flags, or a "
                "device other than DrvCompletePDEV's");
        return FALSE;
    }
    if (!CheckHooks("EngModifySurface", flHooks))
        return FALSE;
    if (pvScan0 != nullptr) {
        ULONG least = EngineStride(surface->Object.sizlBitmap.cx, surface->Object.iBitmapFormat);
        ULONG stride = ULONG(lDelta < 0 ? -lDelta : lDelta);
        if (stride < least || stride % 4 != 0) {
            Violate("EngModifySurface with a stride of " + std::to_string(lDelta) +
                    " bytes: rows are DWORD-aligned and at least " + std::to_string(least));
            return FALSE;
        }
        // The view must hold every row from pvScan0 on.
        const uint8_t *first = static_cast<const uint8_t *>(pvScan0);
        if (lDelta < 0)
            first -= size_t(stride) * size_t(surface->Object.sizlBitmap.cy - 1);
        size_t bytes = size_t(stride) * size_t(surface->Object.sizlBitmap.cy);
        ULONG_PTR owner = OwnedMemory(first, bytes);
        if (owner == 0) {
            Violate("EngModifySurface over memory that no mapped view or EngAllocMem block "
                    "of the driver holds");
            return FALSE;
        }
        surface->OverFile = K->Mappings.count(owner) ? owner : 0;
        surface->Object.pvBits = const_cast<uint8_t *>(first);
        surface->Object.cjBits = ULONG(bytes);
        surface->TopDown = lDelta > 0;
    }
    surface->Object.pvScan0 = pvScan0;
    surface->Object.lDelta = lDelta;
    surface->Object.dhsurf = dhsurf;
    surface->Object.hdev = hdev;
    surface->Object.dhpdev = K->Pdev;
    surface->Associated = true;
    surface->Hooks = flHooks;
    return TRUE;
}

BOOL EngAssociateSurface(HSURF hsurf, HDEV hdev, FLONG flHooks)
{
    EnsureKernelForThread();
    Guard guard;
    GdiSurface *surface = FindSurface(hsurf);
    if (!surface) {
        Violate("EngAssociateSurface of a surface the engine did not make");
        return FALSE;
    }
    if (PrimaryTouched("EngAssociateSurface", hsurf))
        return FALSE;
    if (hdev != EngineDevice || K->Stage < DisplayStage::PdevCompleted) {
        Violate("EngAssociateSurface with a device other than the handle DrvCompletePDEV "
                "received");
        return FALSE;
    }
    if (!CheckHooks("EngAssociateSurface", flHooks))
        return FALSE;
    surface->Object.hdev = hdev;
    surface->Object.dhpdev = K->Pdev;
    surface->Associated = true;
    surface->Hooks = flHooks;
    return TRUE;
}

BOOL EngDeleteSurface(HSURF hsurf)
{
    EnsureKernelForThread();
    Guard guard;
    auto found = K->Surfaces.find((uintptr_t)hsurf);
    if (found == K->Surfaces.end()) {
        Violate("EngDeleteSurface of a surface the engine did not make, or deleted already");
        return FALSE;
    }
    K->Surfaces.erase(found);
    return TRUE;
}

HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG *pulColors, FLONG flRed, FLONG flGreen,
                          FLONG flBlue)
{
    EnsureKernelForThread();
    Guard guard;
    GdiPalette palette;
    palette.Mode = iMode;
    auto contiguous = [](FLONG mask) {
        return mask != 0 &&
               ((mask >> __builtin_ctz(mask)) & ((mask >> __builtin_ctz(mask)) + 1)) == 0;
    };
    switch (iMode) {
    case PAL_INDEXED:
        if (cColors == 0 || pulColors == nullptr) {
            Violate("EngCreatePalette(PAL_INDEXED) without colours");
            return nullptr;
        }
        palette.Colours.assign(pulColors, pulColors + cColors);
        break;
    case PAL_BITFIELDS:
        if (!contiguous(flRed) || !contiguous(flGreen) || !contiguous(flBlue) ||
            (flRed & flGreen) || (flRed & flBlue) || (flGreen & flBlue)) {
            Violate("EngCreatePalette(PAL_BITFIELDS) with masks that are empty, not "
                    "contiguous or overlap");
            return nullptr;
        }
        palette.Red = flRed;
        palette.Green = flGreen;
        palette.Blue = flBlue;
        break;
    case PAL_RGB:
    case PAL_BGR:
    case PAL_CMYK:
        break;
    default:
        Violate("EngCreatePalette with mode " + std::to_string(iMode) +
                ": not PAL_BITFIELDS, PAL_BGR, PAL_CMYK, PAL_INDEXED or PAL_RGB");
        return nullptr;
    }
    if (iMode != PAL_INDEXED && cColors != 0) {
        Violate("EngCreatePalette with cColors " + std::to_string(cColors) +
                " for a mode other than PAL_INDEXED (it should be zero)");
        return nullptr;
    }
    uintptr_t handle = NewGdiHandle();
    K->Palettes.emplace(handle, std::move(palette));
    return reinterpret_cast<HPALETTE>(handle);
}

BOOL EngDeletePalette(HPALETTE hpal)
{
    EnsureKernelForThread();
    Guard guard;
    if (!K->Palettes.erase((uintptr_t)hpal)) {
        Violate("EngDeletePalette of a palette the engine did not make, or deleted already");
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
