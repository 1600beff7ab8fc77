// DrvEnableDriver and the PDEV: the function table, the mode from the
// miniport, the device's capabilities and palette, and the surface's
// enable and disable.

#include "../escape/escape.h"
#include "../surface/surface.h"

namespace
{

// The screen's assumed resolution: the frame reports no physical size.
constexpr ULONG LogicalPixelsPerInch = 96;
constexpr ULONG RefreshRate = 60;

DISPLAY_PDEV *FromHandle(DHPDEV Handle)
{
    return reinterpret_cast<DISPLAY_PDEV *>(Handle);
}

void CopyName(WCHAR *Destination, const WCHAR *Source, ULONG Capacity)
{
    for (ULONG i = 0; i + 1 < Capacity && Source[i] != 0; ++i)
        Destination[i] = Source[i];
}

void FillDevMode(const DISPLAY_MODE &Mode, DEVMODEW *DevMode)
{
    UCHAR *Bytes = reinterpret_cast<UCHAR *>(DevMode);
    for (ULONG i = 0; i < sizeof(DEVMODEW); ++i)
        Bytes[i] = 0;
    CopyName(DevMode->dmDeviceName, u"kvrdisplay", CCHDEVICENAME);
    DevMode->dmSpecVersion = DM_SPECVERSION;
    DevMode->dmDriverVersion = DM_SPECVERSION;
    DevMode->dmSize = sizeof(DEVMODEW);
    DevMode->dmBitsPerPel = Mode.BitsPerPixel;
    DevMode->dmPelsWidth = Mode.Width;
    DevMode->dmPelsHeight = Mode.Height;
    DevMode->dmDisplayFrequency = RefreshRate;
    DevMode->dmFields =
        DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY;
}

// The mode GDI asks for must be the miniport's; 0 in a field takes the
// miniport's value for it.
bool ModeMatches(const DEVMODEW *DevMode, const DISPLAY_MODE &Mode)
{
    auto Fits = [](DWORD Asked, ULONG Have) { return Asked == 0 || Asked == Have; };
    return Fits(DevMode->dmPelsWidth, Mode.Width) && Fits(DevMode->dmPelsHeight, Mode.Height) &&
           Fits(DevMode->dmBitsPerPel, Mode.BitsPerPixel);
}

// 5-6-5 bit fields for 16 bits; B, G, R bytes for 24 and 32.
HPALETTE CreateModePalette(const DISPLAY_MODE &Mode)
{
    if (Mode.BitsPerPixel == 16)
        return EngCreatePalette(PAL_BITFIELDS, 0, nullptr, 0xF800, 0x07E0, 0x001F);
    return EngCreatePalette(PAL_BGR, 0, nullptr, 0, 0, 0);
}

void FillGdiInfo(const DISPLAY_MODE &Mode, GDIINFO *Info)
{
    UCHAR *Bytes = reinterpret_cast<UCHAR *>(Info);
    for (ULONG i = 0; i < sizeof(GDIINFO); ++i)
        Bytes[i] = 0;
    Info->ulVersion = GDI_DRIVER_VERSION;
    Info->ulTechnology = DT_RASDISPLAY;
    // Millimetres at the assumed resolution.
    Info->ulHorzSize = Mode.Width * 254 / (LogicalPixelsPerInch * 10);
    Info->ulVertSize = Mode.Height * 254 / (LogicalPixelsPerInch * 10);
    Info->ulHorzRes = Mode.Width;
    Info->ulVertRes = Mode.Height;
    Info->cBitsPixel = Mode.BitsPerPixel;
    Info->cPlanes = 1;
    Info->ulNumColors = 0xFFFFFFFF; // more than 8 bits a pixel: no colour table
    Info->flRaster = 0;             // reserved for display drivers
    Info->ulLogPixelsX = LogicalPixelsPerInch;
    Info->ulLogPixelsY = LogicalPixelsPerInch;
    Info->flTextCaps = TC_RA_ABLE;
    ULONG GreenBits = Mode.BitsPerPixel == 16 ? 6 : 8;
    Info->ulDACRed = Mode.BitsPerPixel == 16 ? 5 : 8;
    Info->ulDACGreen = GreenBits;
    Info->ulDACBlue = Info->ulDACRed;
    Info->ulAspectX = 0x24;
    Info->ulAspectY = 0x24;
    Info->ulAspectXY = 0x33;
    Info->xStyleStep = 1;
    Info->yStyleStep = 1;
    Info->denStyleStep = 3;
    Info->szlPhysSize = {LONG(Mode.Width), LONG(Mode.Height)};
    // sRGB primaries and white point, gamma 2.2, in LDECI4 (units of 1/10000).
    COLORINFO &Colour = Info->ciDevice;
    Colour.Red = {6700, 3300, 0};
    Colour.Green = {2100, 7100, 0};
    Colour.Blue = {1400, 800, 0};
    Colour.Cyan = {1750, 3950, 0};
    Colour.Magenta = {4050, 2050, 0};
    Colour.Yellow = {4400, 5200, 0};
    Colour.AlignmentWhite = {3127, 3290, 0};
    Colour.RedGamma = 20000;
    Colour.GreenGamma = 20000;
    Colour.BlueGamma = 20000;
    Info->ulPrimaryOrder = PRIMARY_ORDER_CBA;
    Info->ulHTPatternSize = HT_PATSIZE_SUPERCELL_M;
    Info->ulHTOutputFormat = Mode.BitsPerPixel == 16   ? HT_FORMAT_16BPP
                             : Mode.BitsPerPixel == 24 ? HT_FORMAT_24BPP
                                                       : HT_FORMAT_32BPP;
    Info->flHTFlags = HT_FLAG_ADDITIVE_PRIMS;
    Info->ulVRefresh = RefreshRate;
    Info->ulBltAlignment = 1;
    Info->ulPanningHorzRes = Mode.Width;
    Info->ulPanningVertRes = Mode.Height;
}

void FillFont(LOGFONTW *Font, LONG Height, LONG Weight, BYTE PitchAndFamily, const WCHAR *Face)
{
    Font->lfHeight = Height;
    Font->lfWeight = Weight;
    Font->lfOutPrecision = 2;  // OUT_STROKE_PRECIS
    Font->lfClipPrecision = 2; // CLIP_STROKE_PRECIS
    Font->lfQuality = 1;       // DRAFT_QUALITY
    Font->lfPitchAndFamily = PitchAndFamily;
    CopyName(Font->lfFaceName, Face, LF_FACESIZE);
}

void FillDevInfo(const DISPLAY_MODE &Mode, HPALETTE Palette, DEVINFO *Info)
{
    UCHAR *Bytes = reinterpret_cast<UCHAR *>(Info);
    for (ULONG i = 0; i < sizeof(DEVINFO); ++i)
        Bytes[i] = 0;
    Info->flGraphicsCaps = GCAPS_OPAQUERECT | GCAPS_MONO_DITHER;
    FillFont(&Info->lfDefaultFont, 16, 700, 0x22, u"System");
    FillFont(&Info->lfAnsiVarFont, 12, 400, 0x22, u"MS Sans Serif");
    FillFont(&Info->lfAnsiFixFont, 12, 400, 0x31, u"Courier");
    Info->iDitherFormat = ModeFormat(Mode);
    Info->hpalDefault = Palette;
}

ULONG DrvGetModes(HANDLE hDriver, ULONG cjSize, DEVMODEW *pdm)
{
    DISPLAY_MODE Mode;
    if (!QueryDisplayMode(hDriver, &Mode))
        return 0;
    // With no buffer GDI asks for the size all modes need: one DEVMODEW.
    if (pdm == nullptr)
        return sizeof(DEVMODEW);
    if (cjSize < sizeof(DEVMODEW))
        return 0;
    FillDevMode(Mode, pdm);
    return sizeof(DEVMODEW);
}

DHPDEV DrvEnablePDEV(DEVMODEW *pdm, LPWSTR pwszLogAddress, ULONG cPat, HSURF *phsurfPatterns,
                     ULONG cjCaps, ULONG *pdevcaps, ULONG cjDevInfo, DEVINFO *pdi, HDEV hdev,
                     LPWSTR pwszDeviceName, HANDLE hDriver)
{
    (void)pwszLogAddress;
    (void)cPat;
    (void)phsurfPatterns;
    (void)hdev;
    (void)pwszDeviceName;
    if (cjCaps < sizeof(GDIINFO) || cjDevInfo < sizeof(DEVINFO))
        return nullptr;
    DISPLAY_MODE Mode;
    if (!QueryDisplayMode(hDriver, &Mode) || !ModeMatches(pdm, Mode))
        return nullptr;
    auto *Pdev =
        static_cast<DISPLAY_PDEV *>(EngAllocMem(FL_ZERO_MEMORY, sizeof(DISPLAY_PDEV), DisplayTag));
    if (Pdev == nullptr)
        return nullptr;
    Pdev->Driver = hDriver;
    Pdev->Mode = Mode;
    Pdev->Palette = CreateModePalette(Mode);
    if (Pdev->Palette == nullptr) {
        EngFreeMem(Pdev);
        return nullptr;
    }
    FillGdiInfo(Mode, reinterpret_cast<GDIINFO *>(pdevcaps));
    FillDevInfo(Mode, Pdev->Palette, pdi);
    return reinterpret_cast<DHPDEV>(Pdev);
}

void DrvCompletePDEV(DHPDEV dhpdev, HDEV hdev)
{
    FromHandle(dhpdev)->Device = hdev;
}

void DrvDisablePDEV(DHPDEV dhpdev)
{
    DISPLAY_PDEV *Pdev = FromHandle(dhpdev);
    EngDeletePalette(Pdev->Palette);
    EngFreeMem(Pdev);
}

HSURF DrvEnableSurface(DHPDEV dhpdev)
{
    return EnableFrameBuffer(FromHandle(dhpdev));
}

void DrvDisableSurface(DHPDEV dhpdev)
{
    DisableFrameBuffer(FromHandle(dhpdev));
}

// The frame buffer is memory, in the file or the engine's bitmap: leaving
// and re-entering the desktop (a switch, a power change) keeps it as it is.
BOOL DrvAssertMode(DHPDEV dhpdev, BOOL bEnable)
{
    (void)dhpdev;
    (void)bEnable;
    return TRUE;
}

// DrvEnableDriver allocates nothing, so there is nothing to free; the
// function is one every display driver has.
void DrvDisableDriver() {}

// A routine as the table holds it. Through void (*)(), the one function
// type every other converts to without a warning; a macro, so that the
// table stays constant data.
#define TableEntry(Routine) reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(Routine))

// Exactly the functions this driver implements. Constant data (the
// compiler emits the routines' addresses as relocations, no initialiser
// runs): the engine may read it after DrvEnableDriver returns.
const DRVFN FunctionTable[] = {
    {INDEX_DrvEnablePDEV, TableEntry(DrvEnablePDEV)},
    {INDEX_DrvCompletePDEV, TableEntry(DrvCompletePDEV)},
    {INDEX_DrvDisablePDEV, TableEntry(DrvDisablePDEV)},
    {INDEX_DrvEnableSurface, TableEntry(DrvEnableSurface)},
    {INDEX_DrvDisableSurface, TableEntry(DrvDisableSurface)},
    {INDEX_DrvAssertMode, TableEntry(DrvAssertMode)},
    {INDEX_DrvDisableDriver, TableEntry(DrvDisableDriver)},
    {INDEX_DrvEscape, TableEntry(DrvEscape)},
    {INDEX_DrvGetModes, TableEntry(DrvGetModes)},
};

} // namespace

// The engine of Windows 2000 or later; the driver is written to its interface.
extern "C" BOOL DrvEnableDriver(ULONG iEngineVersion, ULONG cj, DRVENABLEDATA *pded)
{
    if (iEngineVersion < DDI_DRIVER_VERSION_NT5 || cj < sizeof(DRVENABLEDATA) || pded == nullptr)
        return FALSE;
    pded->iDriverVersion = DDI_DRIVER_VERSION_NT5;
    pded->c = sizeof FunctionTable / sizeof FunctionTable[0];
    pded->pdrvfn = const_cast<DRVFN *>(FunctionTable);
    return TRUE;
}
