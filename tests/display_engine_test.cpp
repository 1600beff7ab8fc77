// The simulated GDI engine's checks of the Eng* routines: a deliberately
// wrong display driver makes one misuse at a time, and each gets its
// verifier finding; made without a misuse, the same driver gets none.

#include "support/harness.h"

#include "display/platform/kvr_ddi.h"

using namespace kvrtest;

namespace
{

enum class Misuse {
    None,
    MapShortName,
    MapNoIdentifier,
    BitmapFormat,
    BitmapStride,
    BitmapForeignMemory,
    BitmapShortView,
    SurfaceNotAssociated,
    AssociateAfterReturn,
    ModifyAfterReturn,
    HookWithoutFunction,
    DeviceSurfaceFormat,
    PaletteMasks,
    PaletteMode,
    AllocFlags,
    MemoryLeaked,
    FreeTwice,
    SurfaceKept,
    DeleteTwice,
    UnmapUnderSurface,
    UnmapUnknown,
    PaletteKept,
    MappingKept,
    TableLacksAssertMode,
    IoctlOtherHandle,
};

Misuse Planted = Misuse::None;

constexpr LONG Width = 64, Height = 32;
constexpr LONG Stride = Width * 4;
constexpr ULONG Tag = 'T' << 24 | 'S' << 16 | 'E' << 8 | 'T';
WCHAR DataFile[] = u"\\??\\c:\\test\\frame.dat";
WCHAR ShortName[] = u"c:\\test\\frame.dat";
uint8_t ForeignBits[Stride * Height];

struct TestPdev {
    HANDLE Driver;
    HDEV Device;
    HPALETTE Palette;
    HSURF Surface;
    ULONG_PTR File;
};

TestPdev *Pdev(DHPDEV Handle)
{
    return reinterpret_cast<TestPdev *>(Handle);
}

ULONG TestGetModes(HANDLE, ULONG Size, DEVMODEW *Modes)
{
    if (Modes == nullptr)
        return sizeof(DEVMODEW);
    if (Size < sizeof(DEVMODEW))
        return 0;
    *Modes = DEVMODEW{};
    Modes->dmSize = sizeof(DEVMODEW);
    Modes->dmPelsWidth = Width;
    Modes->dmPelsHeight = Height;
    Modes->dmBitsPerPel = 32;
    return sizeof(DEVMODEW);
}

DHPDEV TestEnablePdev(DEVMODEW *, LPWSTR, ULONG, HSURF *, ULONG, ULONG *Caps, ULONG, DEVINFO *Info,
                      HDEV, LPWSTR, HANDLE Driver)
{
    ULONG Flags = Planted == Misuse::AllocFlags ? FL_ZERO_MEMORY | 0x100 : FL_ZERO_MEMORY;
    auto *Made = static_cast<TestPdev *>(EngAllocMem(Flags, sizeof(TestPdev), Tag));
    if (Made == nullptr)
        return nullptr;
    Made->Driver = Driver;
    if (Planted == Misuse::IoctlOtherHandle) {
        DWORD Returned = 0;
        UCHAR Reply[6];
        EngDeviceIoControl(reinterpret_cast<HANDLE>(uintptr_t(0x99)), 0x234018, nullptr, 0, Reply,
                           sizeof Reply, &Returned);
    }
    Made->Palette = Planted == Misuse::PaletteMasks
                        ? EngCreatePalette(PAL_BITFIELDS, 0, nullptr, 0xFF00, 0x0FF0, 0x00FF)
                    : Planted == Misuse::PaletteMode
                        ? EngCreatePalette(0x40, 0, nullptr, 0, 0, 0)
                        : EngCreatePalette(PAL_BGR, 0, nullptr, 0, 0, 0);
    auto *Gdi = reinterpret_cast<GDIINFO *>(Caps);
    Gdi->ulHorzRes = Width;
    Gdi->ulVertRes = Height;
    Gdi->cBitsPixel = 32;
    Info->hpalDefault = Made->Palette;
    return reinterpret_cast<DHPDEV>(Made);
}

void TestCompletePdev(DHPDEV Handle, HDEV Device)
{
    Pdev(Handle)->Device = Device;
}

HSURF TestEnableSurface(DHPDEV Handle)
{
    TestPdev *Made = Pdev(Handle);
    ULONG Size = Stride * Height / (Planted == Misuse::BitmapShortView ? 2 : 1);
    PVOID View = EngMapFile(Planted == Misuse::MapShortName ? ShortName : DataFile, Size,
                            Planted == Misuse::MapNoIdentifier ? nullptr : &Made->File);
    if (Planted == Misuse::BitmapForeignMemory)
        View = ForeignBits;
    if (Planted == Misuse::DeviceSurfaceFormat)
        EngCreateDeviceSurface(nullptr, SIZEL{Width, Height}, 0);
    if (Planted == Misuse::UnmapUnknown)
        EngUnmapFile(0x1234);
    HBITMAP Bitmap =
        EngCreateBitmap(SIZEL{Width, Height}, Planted == Misuse::BitmapStride ? Stride - 2 : Stride,
                        Planted == Misuse::BitmapFormat ? 99 : BMF_32BPP, BMF_TOPDOWN, View);
    if (Bitmap == nullptr)
        Bitmap = EngCreateBitmap(SIZEL{Width, Height}, Stride, BMF_32BPP, BMF_TOPDOWN, nullptr);
    Made->Surface = reinterpret_cast<HSURF>(Bitmap);
    if (Planted != Misuse::SurfaceNotAssociated)
        EngAssociateSurface(Made->Surface, Made->Device,
                            Planted == Misuse::HookWithoutFunction ? HOOK_BITBLT : 0);
    return Made->Surface;
}

void TestDisableSurface(DHPDEV Handle)
{
    TestPdev *Made = Pdev(Handle);
    if (Planted == Misuse::UnmapUnderSurface && Made->File)
        EngUnmapFile(Made->File);
    if (Planted != Misuse::SurfaceKept)
        EngDeleteSurface(Made->Surface);
    if (Planted == Misuse::DeleteTwice)
        EngDeleteSurface(Made->Surface);
    if (Made->File && Planted != Misuse::UnmapUnderSurface && Planted != Misuse::MappingKept)
        EngUnmapFile(Made->File);
}

void TestDisablePdev(DHPDEV Handle)
{
    TestPdev *Made = Pdev(Handle);
    if (Planted != Misuse::PaletteKept && Made->Palette)
        EngDeletePalette(Made->Palette);
    if (Planted == Misuse::SurfaceNotAssociated) { // its surface was never taken
        EngDeleteSurface(Made->Surface);
        EngUnmapFile(Made->File);
    }
    if (Planted != Misuse::MemoryLeaked)
        EngFreeMem(Made);
    if (Planted == Misuse::FreeTwice)
        EngFreeMem(Made);
}

BOOL TestAssertMode(DHPDEV Handle, BOOL)
{
    TestPdev *Made = Pdev(Handle);
    if (Planted == Misuse::AssociateAfterReturn)
        EngAssociateSurface(Made->Surface, Made->Device, 0);
    if (Planted == Misuse::ModifyAfterReturn)
        EngModifySurface(Made->Surface, Made->Device, 0, 0, nullptr, nullptr, 0, nullptr);
    return TRUE;
}

void TestDisableDriver() {}

#define Entry(Routine) reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(Routine))

DRVFN Table[] = {
    {INDEX_DrvEnablePDEV, Entry(TestEnablePdev)},
    {INDEX_DrvCompletePDEV, Entry(TestCompletePdev)},
    {INDEX_DrvDisablePDEV, Entry(TestDisablePdev)},
    {INDEX_DrvEnableSurface, Entry(TestEnableSurface)},
    {INDEX_DrvDisableSurface, Entry(TestDisableSurface)},
    {INDEX_DrvDisableDriver, Entry(TestDisableDriver)},
    {INDEX_DrvGetModes, Entry(TestGetModes)},
    {INDEX_DrvAssertMode, Entry(TestAssertMode)}, // last: left out by one misuse
};

int TestEnableDriver(ULONG, ULONG, _DRVENABLEDATA *Data)
{
    Data->iDriverVersion = DDI_DRIVER_VERSION_NT5;
    Data->c = std::size(Table) - (Planted == Misuse::TableLacksAssertMode ? 1 : 0);
    Data->pdrvfn = Table;
    return TRUE;
}

struct MisuseCase {
    const char *Name;
    Misuse Planted;
    std::vector<const char *> Findings;
};

const MisuseCase Cases[] = {
    {"none", Misuse::None, {}},
    {"map-short-name", Misuse::MapShortName, {"must be fully qualified"}},
    {"map-no-identifier", Misuse::MapNoIdentifier, {"piFile NULL"}},
    {"bitmap-format", Misuse::BitmapFormat, {"not one of BMF_1BPP to BMF_8RLE"}},
    {"bitmap-stride", Misuse::BitmapStride, {"rows are DWORD-aligned and at least 256"}},
    {"bitmap-foreign-memory",
     Misuse::BitmapForeignMemory,
     {"that no mapped view or EngAllocMem block"}},
    {"bitmap-short-view", Misuse::BitmapShortView, {"that no mapped view or EngAllocMem block"}},
    {"surface-not-associated",
     Misuse::SurfaceNotAssociated,
     {"had not associated with the device"}},
    {"associate-after-return",
     Misuse::AssociateAfterReturn,
     // at each of the road's three DrvAssertMode calls
     {"EngAssociateSurface on the primary surface after DrvEnableSurface",
      "EngAssociateSurface on the primary surface after DrvEnableSurface",
      "EngAssociateSurface on the primary surface after DrvEnableSurface"}},
    {"modify-after-return",
     Misuse::ModifyAfterReturn,
     {"EngModifySurface on the primary surface after DrvEnableSurface",
      "EngModifySurface on the primary surface after DrvEnableSurface",
      "EngModifySurface on the primary surface after DrvEnableSurface"}},
    {"hook-without-function", Misuse::HookWithoutFunction, {"hooks DrvBitBlt"}},
    {"device-surface-format", Misuse::DeviceSurfaceFormat, {"EngCreateDeviceSurface of 64x32"}},
    {"palette-masks", Misuse::PaletteMasks, {"masks that are empty, not contiguous or overlap"}},
    {"palette-mode", Misuse::PaletteMode, {"EngCreatePalette with mode 64"}},
    {"alloc-flags", Misuse::AllocFlags, {"only FL_ZERO_MEMORY and FL_NONPAGED_MEMORY"}},
    {"memory-leaked", Misuse::MemoryLeaked, {"not freed when the PDEV was disabled"}},
    {"free-twice", Misuse::FreeTwice, {"EngFreeMem of memory EngAllocMem did not allocate"}},
    {"surface-kept",
     Misuse::SurfaceKept,
     {"primary surface not deleted", "EngUnmapFile while a surface still draws",
      "not deleted when the PDEV was disabled"}},
    {"delete-twice", Misuse::DeleteTwice, {"EngDeleteSurface of a surface the engine did not"}},
    {"unmap-under-surface",
     Misuse::UnmapUnderSurface,
     {"EngUnmapFile while a surface still draws into the view"}},
    {"unmap-unknown", Misuse::UnmapUnknown, {"EngUnmapFile of an identifier"}},
    {"palette-kept", Misuse::PaletteKept, {"not deleted when the PDEV was disabled (EngDelete"}},
    {"mapping-kept", Misuse::MappingKept, {"still mapped when the PDEV was disabled"}},
    {"table-lacks-assert-mode", Misuse::TableLacksAssertMode, {"lacks DrvAssertMode"}},
    {"ioctl-other-handle",
     Misuse::IoctlOtherHandle,
     {"EngDeviceIoControl on a handle other than the hDriver"}},
};

class EngineMisuse : public DriverTest, public ::testing::WithParamInterface<MisuseCase>
{
  protected:
    void TearDown() override
    {
        DriverTest::TearDown();
        sim::UseDisplayDriver(nullptr);
        Planted = Misuse::None;
    }
};

// The engine's whole road with the planted misuse: load at the open, attach,
// a switch away and back, detach, unload.
TEST_P(EngineMisuse, EachMisuseGetsItsFinding)
{
    const MisuseCase &Case = GetParam();
    Planted = Case.Planted;
    for (const char *Finding : Case.Findings)
        ExpectViolation(Finding);
    sim::UseDisplayDriver(TestEnableDriver);
    LoadAndStart(false);
    bool On = sim::DisplayOn();
    if (Case.Planted == Misuse::None) {
        EXPECT_TRUE(On);
        EXPECT_TRUE(sim::DisplayMode().DataFile);
        EXPECT_TRUE(sim::DrawFill(0, 0, 2, 2, 0x123456));
        EXPECT_EQ(sim::DataFilePixel(1, 1), 0x123456u);
    }
    sim::DisplayAssertMode(false);
    sim::DisplayAssertMode(true);
    sim::DisplayOff();
    sim::CloseVideoDevice();
}

INSTANTIATE_TEST_SUITE_P(Table, EngineMisuse, ::testing::ValuesIn(Cases), RowName());

} // namespace
