// The simulated GDI engine's calls into the display driver, in win32k's
// order: DrvEnableDriver at the display driver's open of the video device,
// then for a display that is attached DrvGetModes (size, then modes),
// DrvEnablePDEV, DrvCompletePDEV and DrvEnableSurface; DrvAssertMode at a
// switch; DrvAssertMode(FALSE), DrvDisableSurface and DrvDisablePDEV when it
// is detached; DrvDisableDriver when the video device closes. Each call and
// its result is traced, and what the driver must have done by the time a
// call returns is checked there.

#include <cstdio>

#include "record.h"

namespace sim::detail
{

const HDEV EngineDevice = reinterpret_cast<HDEV>(uintptr_t(0x5D0000));
const HANDLE VideoDeviceHandle = reinterpret_cast<HANDLE>(uintptr_t(0x1C4));

namespace
{

DisplayDriverEnable Hook = nullptr;

void TraceDisplay(const char *routine, bool ok, std::string result, ULONG value = 0)
{
    Guard guard;
    if (!Tracing())
        return;
    TraceEvent &event = ReusedEvent(CurrentTime(), TraceKind::Display);
    event.Text = routine;
    event.Name = std::move(result);
    event.Ok = ok;
    event.Code = value;
    event.Data.clear();
    EmitReused(event);
}

PFN Lookup(ULONG index)
{
    for (const DRVFN &entry : K->Functions)
        if (entry.iFunc == index)
            return entry.pfn;
    return nullptr;
}

template <typename Function> Function Routine(ULONG index)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Lookup(index)));
}

// The functions every display driver has ("Required Display Driver
// Functions"), by index and name.
struct RequiredFunction {
    ULONG Index;
    const char *Name;
};
constexpr RequiredFunction Required[] = {
    {INDEX_DrvEnablePDEV, "DrvEnablePDEV"},         {INDEX_DrvCompletePDEV, "DrvCompletePDEV"},
    {INDEX_DrvDisablePDEV, "DrvDisablePDEV"},       {INDEX_DrvEnableSurface, "DrvEnableSurface"},
    {INDEX_DrvDisableSurface, "DrvDisableSurface"}, {INDEX_DrvAssertMode, "DrvAssertMode"},
    {INDEX_DrvDisableDriver, "DrvDisableDriver"},   {INDEX_DrvGetModes, "DrvGetModes"},
};

// The table DrvEnableDriver returned: indexes below INDEX_LAST, each once, a
// routine for each, and every required function there.
bool CheckFunctionTable(const DRVENABLEDATA &data)
{
    Guard guard;
    if (data.iDriverVersion < DDI_DRIVER_VERSION_NT5 || data.pdrvfn == nullptr || data.c == 0) {
        Violate("DrvEnableDriver returned version 0x" + std::to_string(data.iDriverVersion) +
                " with " + std::to_string(data.c) +
                " functions: the engine needs a table and a driver version it knows");
        return false;
    }
    bool ok = true;
    std::vector<bool> seen(INDEX_LAST, false);
    for (ULONG i = 0; i < data.c; ++i) {
        const DRVFN &entry = data.pdrvfn[i];
        if (entry.iFunc >= INDEX_LAST || entry.pfn == nullptr || seen[entry.iFunc]) {
            Violate("DrvEnableDriver's table entry " + std::to_string(i) + " (index " +
                    std::to_string(entry.iFunc) +
                    ") is out of range, has no routine or repeats an index");
            ok = false;
            continue;
        }
        seen[entry.iFunc] = true;
        K->Functions.push_back(entry);
    }
    for (const RequiredFunction &function : Required)
        if (function.Index >= seen.size() || !seen[function.Index]) {
            Violate(std::string("DrvEnableDriver's table lacks ") + function.Name +
                    ", which every display driver implements");
            ok = false;
        }
    return ok;
}

std::string ModeText(const DEVMODEW &mode)
{
    return std::to_string(mode.dmPelsWidth) + "x" + std::to_string(mode.dmPelsHeight) + "x" +
           std::to_string(mode.dmBitsPerPel);
}

// DrvGetModes as win32k calls it: the size with no buffer, then the modes;
// the first complete DEVMODEW is the one the engine asks for.
bool GetModes(DEVMODEW *chosen)
{
    auto getModes = Routine<ULONG (*)(HANDLE, ULONG, DEVMODEW *)>(INDEX_DrvGetModes);
    ULONG size = CallDisplay(getModes, VideoDeviceHandle, 0u, (DEVMODEW *)nullptr);
    if (size < sizeof(DEVMODEW)) {
        TraceDisplay("DrvGetModes", false, "no modes", size);
        return false;
    }
    std::vector<DEVMODEW> modes(size / sizeof(DEVMODEW) + 1);
    ULONG written = CallDisplay(getModes, VideoDeviceHandle, size, modes.data());
    if (written > size) {
        Guard guard;
        Violate("DrvGetModes wrote " + std::to_string(written) + " bytes into a buffer of " +
                std::to_string(size));
    }
    if (written < sizeof(DEVMODEW) || modes[0].dmSize != sizeof(DEVMODEW) ||
        modes[0].dmDriverExtra != 0) {
        TraceDisplay("DrvGetModes", false, "no modes", written);
        return false;
    }
    *chosen = modes[0];
    TraceDisplay("DrvGetModes", true,
                 std::to_string(written / sizeof(DEVMODEW)) + " mode " + ModeText(*chosen),
                 written);
    return true;
}

// What a surface is, for the trace: over the data file or the engine's.
std::string SurfaceText(const GdiSurface &surface)
{
    return surface.OverFile ? "data file" : surface.Own ? "private" : "driver memory";
}

// After DrvEnableSurface: the surface it returned must be one the engine made
// and associated with this device before the call returned.
bool CheckPrimary(HSURF primary)
{
    Guard guard;
    GdiSurface *surface = FindSurface(primary);
    if (!surface) {
        Violate("DrvEnableSurface returned a handle the engine did not make");
        return false;
    }
    if (!surface->Associated || surface->Object.hdev != EngineDevice) {
        Violate("DrvEnableSurface returned a surface it had not associated with the device "
                "(EngAssociateSurface comes before DrvEnableSurface returns)");
        return false;
    }
    return true;
}

// DrvDisablePDEV leaves nothing: every allocation, surface, palette and
// mapping the driver made is gone.
void CheckNothingLeft()
{
    Guard guard;
    for (const auto &[address, allocation] : K->Allocations) {
        char tag[5] = {};
        memcpy(tag, &allocation.Tag, 4);
        Violate("EngAllocMem block of " + std::to_string(allocation.Size) + " bytes (tag '" + tag +
                "') not freed when the PDEV was disabled");
    }
    for (const auto &entry : K->Surfaces)
        Violate("surface 0x" + std::to_string(entry.first) +
                " not deleted when the PDEV was disabled");
    for (const auto &entry : K->Palettes)
        Violate("palette " + std::to_string(entry.first) +
                " not deleted when the PDEV was disabled (EngDeletePalette)");
    for (const auto &entry : K->Mappings)
        Violate("file " + entry.second.Path + " still mapped when the PDEV was disabled");
}

} // namespace

void ReportCrossingArguments(size_t count)
{
    Guard guard;
    Violate("the crossing cannot pass the " + std::to_string(count) +
            " arguments of a display driver routine in an image");
}

uintptr_t NewGdiHandle()
{
    return K->NextHandle += 0x10;
}

GdiSurface *FindSurface(HSURF surface)
{
    auto found = K->Surfaces.find((uintptr_t)surface);
    return found == K->Surfaces.end() ? nullptr : &found->second;
}

void DropGdiObjects()
{
    K->Allocations.clear();
    K->Surfaces.clear();
    K->Palettes.clear();
    for (auto &[id, mapping] : K->Mappings)
        if (auto file = K->Files.find(mapping.Path); file != K->Files.end())
            --file->second.Mapped;
    K->Mappings.clear();
}

void LoadDisplayDriver()
{
    if (!Hook || K->Stage != DisplayStage::Unloaded)
        return;
    DRVENABLEDATA data{};
    // The engine of Windows Vista and 7 reports the Windows XP interface.
    BOOL loaded = CallDisplay(Hook, DDI_DRIVER_VERSION_NT5_01, (ULONG)sizeof data, &data);
    if (!loaded) {
        TraceDisplay("DrvEnableDriver", false, "refused");
        return;
    }
    if (!CheckFunctionTable(data)) {
        K->Functions.clear();
        TraceDisplay("DrvEnableDriver", false, "table refused");
        return;
    }
    K->Stage = DisplayStage::Loaded;
    char version[16];
    snprintf(version, sizeof version, "0x%05X", (unsigned)data.iDriverVersion);
    TraceDisplay("DrvEnableDriver", true,
                 std::string("version ") + version + ", " + std::to_string(data.c) + " functions",
                 data.c);
}

void UnloadDisplayDriver()
{
    if (K->Stage == DisplayStage::Unloaded)
        return;
    if (K->Stage == DisplayStage::Surface)
        DisplayOff();
    CallDisplay(Routine<void (*)()>(INDEX_DrvDisableDriver));
    TraceDisplay("DrvDisableDriver", true, "done");
    K->Functions.clear();
    K->Stage = DisplayStage::Unloaded;
}

} // namespace sim::detail

using namespace sim::detail;

namespace sim
{

void UseDisplayDriver(DisplayDriverEnable enable)
{
    Hook = enable;
}

DisplayDriverEnable DisplayDriver()
{
    return Hook;
}

bool DisplayOn()
{
    HarnessEntry();
    if (K->Stage != DisplayStage::Loaded)
        return false;
    DEVMODEW mode{};
    if (!GetModes(&mode))
        return false;
    auto enablePdev = Routine<DHPDEV (*)(DEVMODEW *, LPWSTR, ULONG, HSURF *, ULONG, ULONG *, ULONG,
                                         DEVINFO *, HDEV, LPWSTR, HANDLE)>(INDEX_DrvEnablePDEV);
    K->Caps = GDIINFO{};
    K->Info = DEVINFO{};
    WCHAR deviceName[] = u"\\\\.\\DISPLAY2";
    DHPDEV pdev = CallDisplay(enablePdev, &mode, (LPWSTR) nullptr, 0u, (HSURF *)nullptr,
                              (ULONG)sizeof(GDIINFO), (ULONG *)&K->Caps, (ULONG)sizeof(DEVINFO),
                              &K->Info, EngineDevice, deviceName, VideoDeviceHandle);
    if (!pdev) {
        TraceDisplay("DrvEnablePDEV", false, "failed");
        // A failed enable leaves nothing behind either.
        CheckNothingLeft();
        DropGdiObjects();
        return false;
    }
    K->Pdev = pdev;
    K->Mode = mode;
    K->Stage = DisplayStage::PdevEnabled;
    TraceDisplay("DrvEnablePDEV", true,
                 std::to_string(K->Caps.ulHorzRes) + "x" + std::to_string(K->Caps.ulVertRes) + "x" +
                     std::to_string(K->Caps.cBitsPixel));
    CallDisplay(Routine<void (*)(DHPDEV, HDEV)>(INDEX_DrvCompletePDEV), pdev, EngineDevice);
    K->Stage = DisplayStage::PdevCompleted;
    TraceDisplay("DrvCompletePDEV", true, "done");
    K->Stage = DisplayStage::InEnableSurface;
    HSURF primary = CallDisplay(Routine<HSURF (*)(DHPDEV)>(INDEX_DrvEnableSurface), pdev);
    K->Stage = DisplayStage::PdevCompleted;
    if (!primary || !CheckPrimary(primary)) {
        TraceDisplay("DrvEnableSurface", false, "failed");
        CallDisplay(Routine<void (*)(DHPDEV)>(INDEX_DrvDisablePDEV), pdev);
        TraceDisplay("DrvDisablePDEV", true, "done");
        CheckNothingLeft();
        DropGdiObjects();
        K->Pdev = nullptr;
        K->Stage = DisplayStage::Loaded;
        return false;
    }
    K->Primary = primary;
    K->Stage = DisplayStage::Surface;
    K->Asserted = true;
    TraceDisplay("DrvEnableSurface", true, SurfaceText(*FindSurface(primary)));
    return true;
}

bool DisplayAssertMode(bool enable)
{
    HarnessEntry();
    if (K->Stage != DisplayStage::Surface)
        return false;
    BOOL done =
        CallDisplay(Routine<BOOL (*)(DHPDEV, BOOL)>(INDEX_DrvAssertMode), K->Pdev, (BOOL)enable);
    // A driver may refuse to leave its mode, never to return to it.
    if (enable && !done) {
        Guard guard;
        Violate("DrvAssertMode(TRUE) returned FALSE: a driver cannot fail to re-enable its mode");
    }
    K->Asserted = enable;
    TraceDisplay("DrvAssertMode", done != 0,
                 std::string(enable ? "TRUE" : "FALSE") + " -> " + (done ? "TRUE" : "FALSE"));
    if (FindSurface(K->Primary) == nullptr) {
        Guard guard;
        Violate("DrvAssertMode deleted the primary surface, which stays valid across switches");
    }
    return done != 0;
}

void DisplayOff()
{
    HarnessEntry();
    if (K->Stage != DisplayStage::Surface)
        return;
    DisplayAssertMode(false);
    CallDisplay(Routine<void (*)(DHPDEV)>(INDEX_DrvDisableSurface), K->Pdev);
    {
        Guard guard;
        if (FindSurface(K->Primary))
            Violate("DrvDisableSurface returned with the primary surface not deleted");
    }
    TraceDisplay("DrvDisableSurface", true, "done");
    CallDisplay(Routine<void (*)(DHPDEV)>(INDEX_DrvDisablePDEV), K->Pdev);
    TraceDisplay("DrvDisablePDEV", true, "done");
    CheckNothingLeft();
    DropGdiObjects();
    K->Pdev = nullptr;
    K->Primary = nullptr;
    K->Stage = DisplayStage::Loaded;
}

HANDLE DisplayDriverHandle()
{
    return VideoDeviceHandle;
}

size_t DisplayObjectsHeld()
{
    HarnessEntry();
    return K->Allocations.size() + K->Surfaces.size() + K->Palettes.size() + K->Mappings.size();
}

bool DisplayIsOn()
{
    HarnessEntry();
    return K->Stage == DisplayStage::Surface;
}

DisplayModeInfo DisplayMode()
{
    HarnessEntry();
    DisplayModeInfo info;
    if (K->Stage != DisplayStage::Surface)
        return info;
    info.Width = K->Caps.ulHorzRes;
    info.Height = K->Caps.ulVertRes;
    info.BitsPerPixel = K->Caps.cBitsPixel;
    const GdiSurface *surface = FindSurface(K->Primary);
    info.DataFile = surface && surface->OverFile != 0;
    return info;
}

ULONG ExtEscape(ULONG escape, std::span<const uint8_t> input, std::span<uint8_t> output)
{
    HarnessEntry();
    if (K->Stage != DisplayStage::Surface || !Lookup(INDEX_DrvEscape))
        return 0;
    auto drvEscape =
        Routine<ULONG (*)(SURFOBJ *, ULONG, ULONG, PVOID, ULONG, PVOID)>(INDEX_DrvEscape);
    // GDI hands the buffers over as the caller gave them.
    ULONG result =
        CallDisplay(drvEscape, &FindSurface(K->Primary)->Object, escape, (ULONG)input.size(),
                    (PVOID)input.data(), (ULONG)output.size(), (PVOID)output.data());
    // The caller (the scenario tool, a test) reports the escape with its
    // buffers; the engine adds nothing to the trace.
    return result;
}

} // namespace sim
