// The one platform header of the display driver.
//
// It declares exactly the GDI engine's types, constants and routines that the
// display driver uses, under the platform's own names and with the Windows
// x64 layouts of winddi.h and wingdi.h. Display driver code includes nothing
// else but the adapter's public interface header.
//
// On the Windows target the Eng* routines are satisfied by win32k.sys and are
// called with the Microsoft x64 convention, the target's only one; on the
// host by the simulated GDI engine. The header includes no other header. Basic
// types repeat the miniport's platform header typedef for typedef (C++ allows
// an identical typedef twice), so the simulated engine can include both.

#ifndef KVR_DDI_H
#define KVR_DDI_H

typedef __UINT8_TYPE__ UCHAR;
typedef __UINT8_TYPE__ BYTE;
typedef __UINT16_TYPE__ USHORT;
typedef __UINT16_TYPE__ WORD;
typedef __UINT32_TYPE__ ULONG;
typedef __UINT32_TYPE__ DWORD;
typedef __INT32_TYPE__ LONG;
typedef __UINT32_TYPE__ FLONG;
typedef __UINT64_TYPE__ ULONG_PTR;
typedef decltype(sizeof(0)) SIZE_T;
typedef int BOOL;
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef void *PVOID;
typedef void *HANDLE;
typedef ULONG *PULONG;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef LONG LDECI4;

// Engine handles and the driver's own handles, opaque to the other side.
typedef struct HSURF__ *HSURF;
typedef struct HBITMAP__ *HBITMAP;
typedef struct HPALETTE__ *HPALETTE;
typedef struct HDEV__ *HDEV;
typedef struct DHPDEV__ *DHPDEV;
typedef struct DHSURF__ *DHSURF;

typedef long long (*PFN)();

// The miniport's platform header has its own (BOOLEAN) TRUE and FALSE; the
// simulated engine includes that header first and takes those.
#ifndef KVR_PLATFORM_H
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
#endif

typedef struct _POINTL {
    LONG x;
    LONG y;
} POINTL;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZEL;

typedef struct _RECTL {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECTL;

constexpr ULONG LF_FACESIZE = 32;
constexpr ULONG CCHDEVICENAME = 32;
constexpr ULONG CCHFORMNAME = 32;

typedef struct tagLOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW;

typedef struct _devicemodeW {
    WCHAR dmDeviceName[CCHDEVICENAME];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            short dmOrientation;
            short dmPaperSize;
            short dmPaperLength;
            short dmPaperWidth;
            short dmScale;
            short dmCopies;
            short dmDefaultSource;
            short dmPrintQuality;
        };
        struct {
            POINTL dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        };
    };
    short dmColor;
    short dmDuplex;
    short dmYResolution;
    short dmTTOption;
    short dmCollate;
    WCHAR dmFormName[CCHFORMNAME];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    union {
        DWORD dmDisplayFlags;
        DWORD dmNup;
    };
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
} DEVMODEW;

constexpr WORD DM_SPECVERSION = 0x0401;
constexpr DWORD DM_BITSPERPEL = 0x00040000;
constexpr DWORD DM_PELSWIDTH = 0x00080000;
constexpr DWORD DM_PELSHEIGHT = 0x00100000;
constexpr DWORD DM_DISPLAYFLAGS = 0x00200000;
constexpr DWORD DM_DISPLAYFREQUENCY = 0x00400000;

typedef struct _CIECHROMA {
    LDECI4 x;
    LDECI4 y;
    LDECI4 Y;
} CIECHROMA;

typedef struct _COLORINFO {
    CIECHROMA Red;
    CIECHROMA Green;
    CIECHROMA Blue;
    CIECHROMA Cyan;
    CIECHROMA Magenta;
    CIECHROMA Yellow;
    CIECHROMA AlignmentWhite;
    LDECI4 RedGamma;
    LDECI4 GreenGamma;
    LDECI4 BlueGamma;
    LDECI4 MagentaInCyanDye;
    LDECI4 YellowInCyanDye;
    LDECI4 CyanInMagentaDye;
    LDECI4 YellowInMagentaDye;
    LDECI4 CyanInYellowDye;
    LDECI4 MagentaInYellowDye;
} COLORINFO;

typedef struct _GDIINFO {
    ULONG ulVersion;
    ULONG ulTechnology;
    ULONG ulHorzSize;
    ULONG ulVertSize;
    ULONG ulHorzRes;
    ULONG ulVertRes;
    ULONG cBitsPixel;
    ULONG cPlanes;
    ULONG ulNumColors;
    ULONG flRaster;
    ULONG ulLogPixelsX;
    ULONG ulLogPixelsY;
    ULONG flTextCaps;
    ULONG ulDACRed;
    ULONG ulDACGreen;
    ULONG ulDACBlue;
    ULONG ulAspectX;
    ULONG ulAspectY;
    ULONG ulAspectXY;
    LONG xStyleStep;
    LONG yStyleStep;
    LONG denStyleStep;
    POINTL ptlPhysOffset;
    SIZEL szlPhysSize;
    ULONG ulNumPalReg;
    COLORINFO ciDevice;
    ULONG ulDevicePelsDPI;
    ULONG ulPrimaryOrder;
    ULONG ulHTPatternSize;
    ULONG ulHTOutputFormat;
    ULONG flHTFlags;
    ULONG ulVRefresh;
    ULONG ulBltAlignment;
    ULONG ulPanningHorzRes;
    ULONG ulPanningVertRes;
    ULONG xPanningAlignment;
    ULONG yPanningAlignment;
    ULONG cxHTPat;
    ULONG cyHTPat;
    LPBYTE pHTPatA;
    LPBYTE pHTPatB;
    LPBYTE pHTPatC;
    ULONG flShadeBlend;
    ULONG ulPhysicalPixelCharacteristics;
    ULONG ulPhysicalPixelGamma;
} GDIINFO;

typedef struct _DEVINFO {
    FLONG flGraphicsCaps;
    LOGFONTW lfDefaultFont;
    LOGFONTW lfAnsiVarFont;
    LOGFONTW lfAnsiFixFont;
    ULONG cFonts;
    ULONG iDitherFormat;
    USHORT cxDither;
    USHORT cyDither;
    HPALETTE hpalDefault;
    FLONG flGraphicsCaps2;
} DEVINFO;

typedef struct _DRVFN {
    ULONG iFunc;
    PFN pfn;
} DRVFN;

typedef struct _DRVENABLEDATA {
    ULONG iDriverVersion;
    ULONG c;
    DRVFN *pdrvfn;
} DRVENABLEDATA;

typedef struct _SURFOBJ {
    DHSURF dhsurf;
    HSURF hsurf;
    DHPDEV dhpdev;
    HDEV hdev;
    SIZEL sizlBitmap;
    ULONG cjBits;
    PVOID pvBits;
    PVOID pvScan0;
    LONG lDelta;
    ULONG iUniq;
    ULONG iBitmapFormat;
    USHORT iType;
    USHORT fjBitmap;
} SURFOBJ;

// Versions: the engine's (DrvEnableDriver's iEngineVersion) and the one this
// driver is written for (DRVENABLEDATA.iDriverVersion).
constexpr ULONG DDI_DRIVER_VERSION_NT5 = 0x00030000;
constexpr ULONG DDI_DRIVER_VERSION_NT5_01 = 0x00030100;
constexpr ULONG GDI_DRIVER_VERSION = 0x4000;

// DRVFN.iFunc.
constexpr ULONG INDEX_DrvEnablePDEV = 0;
constexpr ULONG INDEX_DrvCompletePDEV = 1;
constexpr ULONG INDEX_DrvDisablePDEV = 2;
constexpr ULONG INDEX_DrvEnableSurface = 3;
constexpr ULONG INDEX_DrvDisableSurface = 4;
constexpr ULONG INDEX_DrvAssertMode = 5;
constexpr ULONG INDEX_DrvDisableDriver = 8;
constexpr ULONG INDEX_DrvEscape = 24;
constexpr ULONG INDEX_DrvGetModes = 41;
// One past the last function index winddi.h defines (DrvResetDevice is 89, then
// three reserved): the engine accepts a table entry below it.
constexpr ULONG INDEX_LAST = 93;

// Bitmap formats, surface types and bitmap flags.
constexpr ULONG BMF_16BPP = 4;
constexpr ULONG BMF_24BPP = 5;
constexpr ULONG BMF_32BPP = 6;
constexpr USHORT STYPE_BITMAP = 0;
constexpr USHORT STYPE_DEVICE = 1;
constexpr USHORT STYPE_DEVBITMAP = 3;
constexpr FLONG BMF_TOPDOWN = 0x0001;
constexpr FLONG BMF_NOZEROINIT = 0x0002;
constexpr FLONG BMF_DONTCACHE = 0x0004;
constexpr FLONG BMF_USERMEM = 0x0008;
constexpr FLONG BMF_KMSECTION = 0x0010;
constexpr FLONG BMF_NOTSYSMEM = 0x0020;
constexpr FLONG BMF_WINDOW_BLT = 0x0040;
constexpr FLONG BMF_UMPDMEM = 0x0080;

// EngCreatePalette's modes.
constexpr ULONG PAL_INDEXED = 0x1;
constexpr ULONG PAL_BITFIELDS = 0x2;
constexpr ULONG PAL_RGB = 0x4;
constexpr ULONG PAL_BGR = 0x8;

// EngAllocMem's flags.
constexpr ULONG FL_ZERO_MEMORY = 0x1;
constexpr ULONG FL_NONPAGED_MEMORY = 0x2;

// EngAssociateSurface's and EngModifySurface's hooks; EngModifySurface's
// surface flags.
constexpr FLONG HOOK_BITBLT = 0x00000001;
constexpr FLONG HOOK_COPYBITS = 0x00000400;
constexpr FLONG HOOK_FLAGS = 0x0003b5ff;
constexpr FLONG MS_NOTSYSTEMMEMORY = 0x1;
constexpr FLONG MS_SHAREDACCESS = 0x2;

// GDIINFO and DEVINFO values.
constexpr ULONG DT_RASDISPLAY = 1;
constexpr ULONG TC_RA_ABLE = 0x00002000;
constexpr ULONG RC_BITBLT = 1;
constexpr ULONG PRIMARY_ORDER_CBA = 4;
constexpr ULONG HT_PATSIZE_SUPERCELL_M = 17;
constexpr ULONG HT_FORMAT_16BPP = 5;
constexpr ULONG HT_FORMAT_24BPP = 6;
constexpr ULONG HT_FORMAT_32BPP = 7;
constexpr ULONG HT_FLAG_ADDITIVE_PRIMS = 0x4;
constexpr FLONG GCAPS_OPAQUERECT = 0x00000100;
constexpr FLONG GCAPS_MONO_DITHER = 0x00000400;

// The one escape every driver answers.
constexpr ULONG QUERYESCSUPPORT = 8;

#ifndef KVR_DDI_TYPES_ONLY

extern "C" {

// The GDI engine's routines this driver calls (win32k.sys).
PVOID EngAllocMem(ULONG Flags, ULONG MemSize, ULONG Tag);
void EngFreeMem(PVOID Mem);
DWORD EngDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, PVOID lpInBuffer,
                         DWORD nInBufferSize, PVOID lpOutBuffer, DWORD nOutBufferSize,
                         LPDWORD lpBytesReturned);
HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG *pulColors, FLONG flRed, FLONG flGreen,
                          FLONG flBlue);
BOOL EngDeletePalette(HPALETTE hpal);
HBITMAP EngCreateBitmap(SIZEL sizl, LONG lWidth, ULONG iFormat, FLONG fl, PVOID pvBits);
HSURF EngCreateDeviceSurface(DHSURF dhsurf, SIZEL sizl, ULONG iFormatCompat);
BOOL EngModifySurface(HSURF hsurf, HDEV hdev, FLONG flHooks, FLONG flSurface, DHSURF dhsurf,
                      PVOID pvScan0, LONG lDelta, PVOID pvReserved);
BOOL EngAssociateSurface(HSURF hsurf, HDEV hdev, FLONG flHooks);
BOOL EngDeleteSurface(HSURF hsurf);
PVOID EngMapFile(LPWSTR pwsz, ULONG cjSize, ULONG_PTR *piFile);
BOOL EngUnmapFile(ULONG_PTR iFile);

// The display driver's own entry point, which the engine finds by name.
BOOL DrvEnableDriver(ULONG iEngineVersion, ULONG cj, DRVENABLEDATA *pded);

} // extern "C"

#endif // KVR_DDI_TYPES_ONLY

#endif // KVR_DDI_H
