// The shipped display driver's modes: one mode, the miniport's, asked with
// EngDeviceIoControl(QueryDisplayMode); DrvGetModes's size query with a null
// buffer; DrvEnablePDEV's DEVMODEW, GDIINFO and DEVINFO consistent with the
// mode; a panel without a mode gives no mode, and DrvEnablePDEV then fails
// leaving nothing behind.

#include "support/harness.h"

#include "display/platform/kvr_ddi.h"

using namespace kvrtest;

namespace
{

struct ModeCase {
    const char *Name;
    std::optional<UCHAR> Panel; // none: no frame attached
    ULONG Width, Height, Bits;  // 0: no mode
    ULONG Format;
};

const ModeCase Cases[] = {
    {"before-any-frame", std::nullopt, 800, 600, 24, BMF_24BPP},
    {"panel-8", 8, 800, 480, 16, BMF_16BPP},
    {"panel-10", 10, 800, 480, 32, BMF_32BPP},
    {"panel-21", 21, 1024, 768, 24, BMF_24BPP},
    {"panel-5-no-mode", 5, 0, 0, 0, 0},
    {"panel-13-no-mode", 13, 0, 0, 0, 0},
};

template <typename Function> Function Find(const DRVENABLEDATA &Data, ULONG Index)
{
    for (ULONG I = 0; I < Data.c; ++I)
        if (Data.pdrvfn[I].iFunc == Index)
            return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Data.pdrvfn[I].pfn));
    return nullptr;
}

class DisplayModes : public DriverTest, public ::testing::WithParamInterface<ModeCase>
{
};

TEST_P(DisplayModes, OneModeFromTheMiniportOrNone)
{
    const ModeCase &Case = GetParam();
    LoadAndStart(true);
    if (Case.Panel) {
        sim::SetFramePanel(*Case.Panel, 0);
        ASSERT_TRUE(AttachFrame());
        sim::Advance(1500);
    }
    DRVENABLEDATA Data{};
    ASSERT_TRUE(DrvEnableDriver(DDI_DRIVER_VERSION_NT5_01, sizeof Data, &Data));
    auto GetModes = Find<ULONG (*)(HANDLE, ULONG, DEVMODEW *)>(Data, INDEX_DrvGetModes);
    auto EnablePdev = Find<DHPDEV (*)(DEVMODEW *, LPWSTR, ULONG, HSURF *, ULONG, ULONG *, ULONG,
                                      DEVINFO *, HDEV, LPWSTR, HANDLE)>(Data, INDEX_DrvEnablePDEV);
    auto DisablePdev = Find<void (*)(DHPDEV)>(Data, INDEX_DrvDisablePDEV);
    ASSERT_TRUE(GetModes && EnablePdev && DisablePdev);
    HANDLE Driver = sim::DisplayDriverHandle();

    ULONG Size = GetModes(Driver, 0, nullptr);
    DEVMODEW Mode{};
    ULONG Written = GetModes(Driver, sizeof Mode, &Mode);
    GDIINFO Caps{};
    DEVINFO Info{};
    DEVMODEW Asked{};
    Asked.dmSize = sizeof Asked;
    DHPDEV Pdev = EnablePdev(&Asked, nullptr, 0, nullptr, sizeof Caps, (ULONG *)&Caps, sizeof Info,
                             &Info, nullptr, nullptr, Driver);
    if (Case.Width == 0) {
        EXPECT_EQ(Size, 0u);
        EXPECT_EQ(Written, 0u);
        EXPECT_EQ(Pdev, nullptr);
        EXPECT_EQ(sim::DisplayObjectsHeld(), 0u) << "a failed enable leaves nothing";
        return;
    }
    EXPECT_EQ(Size, sizeof(DEVMODEW)) << "the size query answers one mode";
    EXPECT_EQ(GetModes(Driver, sizeof Mode - 1, &Mode), 0u) << "a buffer too short for a mode";
    ASSERT_EQ(Written, sizeof(DEVMODEW));
    EXPECT_EQ(Mode.dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(Mode.dmDriverExtra, 0);
    EXPECT_EQ(Mode.dmPelsWidth, Case.Width);
    EXPECT_EQ(Mode.dmPelsHeight, Case.Height);
    EXPECT_EQ(Mode.dmBitsPerPel, Case.Bits);
    ASSERT_NE(Pdev, nullptr);
    EXPECT_EQ(Caps.ulHorzRes, Case.Width);
    EXPECT_EQ(Caps.ulVertRes, Case.Height);
    EXPECT_EQ(Caps.cBitsPixel, Case.Bits);
    EXPECT_EQ(Caps.cPlanes, 1u);
    EXPECT_EQ(Caps.ulVersion, GDI_DRIVER_VERSION);
    EXPECT_EQ(Info.iDitherFormat, Case.Format);
    EXPECT_NE(Info.hpalDefault, nullptr);
    // The PDEV and its palette; both go with DrvDisablePDEV.
    EXPECT_EQ(sim::DisplayObjectsHeld(), 2u);
    DisablePdev(Pdev);
    EXPECT_EQ(sim::DisplayObjectsHeld(), 0u);
    // A mode other than the miniport's is refused.
    Asked.dmPelsWidth = Case.Width + 1;
    EXPECT_EQ(EnablePdev(&Asked, nullptr, 0, nullptr, sizeof Caps, (ULONG *)&Caps, sizeof Info,
                         &Info, nullptr, nullptr, Driver),
              nullptr);
    EXPECT_EQ(sim::DisplayObjectsHeld(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, DisplayModes, ::testing::ValuesIn(Cases), RowName());

} // namespace
