// GetPanelMode: the display mode that belongs to the frame's panel type.

#include "control.h"

struct PANEL_MODE {
    USHORT Width;
    USHORT Height;
    UCHAR BitsPerPixel;
};

constexpr PANEL_MODE DefaultMode = {800, 600, 24};

// Panel types with a mode of their own. Types 2-7 and 11-16 have no mode at
// all: for them nothing is written.
struct PANEL_ENTRY {
    UCHAR PanelType;
    PANEL_MODE Mode;
};

constexpr PANEL_ENTRY PanelModes[] = {
    {8, {800, 480, 16}},   {10, {800, 480, 32}}, {17, {800, 600, 16}}, {19, {800, 600, 32}},
    {21, {1024, 768, 24}}, {26, {800, 480, 24}}, {27, {800, 480, 24}}, {30, {1024, 600, 24}},
};

static bool HasNoMode(UCHAR PanelType)
{
    return (PanelType >= 2 && PanelType <= 7) || (PanelType >= 11 && PanelType <= 16);
}

static PANEL_MODE ModeOf(UCHAR PanelType)
{
    for (const PANEL_ENTRY &Entry : PanelModes) {
        if (Entry.PanelType == PanelType)
            return Entry.Mode;
    }
    return DefaultMode;
}

void GetPanelMode(const DEVICE_INFO_RECORD *Record, USHORT *Width, USHORT *Height,
                  UCHAR *BitsPerPixel)
{
    UCHAR PanelType = Record->PanelType.Load();
    if (HasNoMode(PanelType))
        return;
    PANEL_MODE Mode = ModeOf(PanelType);
    *Width = Mode.Width;
    *Height = Mode.Height;
    *BitsPerPixel = Mode.BitsPerPixel;
}
