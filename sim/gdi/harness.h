// The harness interface, the simulated GDI engine: a part of sim.h, which
// includes every part in order; include sim.h, not this.

#ifndef KVR_SIM_GDI_HARNESS_H
#define KVR_SIM_GDI_HARNESS_H

struct _DRVENABLEDATA;

namespace sim
{

// ---------------------------------------------------------------------------
// The simulated GDI engine (win32k's side of the display driver interface)

// The display driver's DrvEnableDriver: the one way the engine finds a display
// driver. The host build's own (linked in), a test's deliberately wrong one,
// or the export of a mapped kvrdisplay.dll; a routine inside a mapped image is
// called through the crossing. Null: the machine has no display driver for
// the adapter. Kept across Reset, as UseImage is.
using DisplayDriverEnable = int (*)(ULONG iEngineVersion, ULONG cj, _DRVENABLEDATA *pded);
void UseDisplayDriver(DisplayDriverEnable enable);
DisplayDriverEnable DisplayDriver();

// The engine's load of the display driver happens at the display driver's
// open of the video device (OpenVideoDevice). These are the later steps, in
// win32k's order, each traced as TraceKind::Display events.
//
// DisplayOn: DrvGetModes (the size, then the modes), DrvEnablePDEV with the
// first mode, DrvCompletePDEV, DrvEnableSurface. False when a step failed
// (the steps already taken are undone in reverse order) or the display is
// already on.
bool DisplayOn();
// DrvAssertMode(FALSE), DrvDisableSurface, DrvDisablePDEV, then the engine's
// check that the driver left nothing behind.
void DisplayOff();
bool DisplayIsOn();
// DrvAssertMode alone: leaving and re-entering the desktop (a switch, a
// power transition).
bool DisplayAssertMode(bool enable);

struct DisplayModeInfo {
    ULONG Width = 0, Height = 0, BitsPerPixel = 0;
    bool DataFile = false; // the primary surface is over the data file
};
DisplayModeInfo DisplayMode();

// ExtEscape on the frame's display: DrvEscape with the caller's buffers as
// they are (the engine makes no copy). Returns DrvEscape's value; 0 when the
// display is off (no DC to escape to).
ULONG ExtEscape(ULONG escape, std::span<const uint8_t> input, std::span<uint8_t> output);

// The engine's own drawing into the primary surface: a solid fill of a
// rectangle and a screen-to-screen copy, clipped to the surface. Colours are
// 0xRRGGBB. False when there is no surface to draw on.
bool DrawFill(LONG x, LONG y, LONG width, LONG height, ULONG rgb);
bool DrawCopy(LONG x, LONG y, LONG width, LONG height, LONG toX, LONG toY);

// A pixel of the data file as the companion reads it: the file at the path
// the display driver last mapped, at the display's mode. Null when there is
// no such file or the pixel lies outside it.
std::optional<ULONG> DataFilePixel(ULONG x, ULONG y);
// The whole simulated file at a path (\??\ form, any case); null if none.
std::optional<std::vector<uint8_t>> SimulatedFile(std::string_view path);
// The hDriver the engine passes the display driver (for tests that call its
// functions themselves), and how many of the engine's objects the driver
// holds now: EngAllocMem blocks, surfaces, palettes and mappings.
HANDLE DisplayDriverHandle();
size_t DisplayObjectsHeld();
// Makes the next count EngMapFile calls fail (a full disk, a locked file).
void FailNextFileMaps(unsigned count);

} // namespace sim

#endif // KVR_SIM_GDI_HARNESS_H
