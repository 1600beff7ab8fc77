// The simulated GDI engine's internals: its part of the run's record, the
// objects the Eng* routines hand out (surfaces, palettes, memory, mapped
// files) and the calls into the display driver.

#ifndef KVR_SIM_GDI_GDI_H
#define KVR_SIM_GDI_GDI_H

#include <map>
#include <memory>

#include "image/image.h"
#include "kernel/kernel.h"

#include "../display/platform/kvr_ddi.h"

namespace sim::detail
{

// A surface the engine made: a bitmap over the driver's memory or its own, or
// a device surface (bits only after EngModifySurface gives them).
struct GdiSurface {
    SURFOBJ Object{}; // what the driver is handed; hsurf is the handle
    bool Device = false;
    bool TopDown = false;
    std::unique_ptr<uint8_t[]> Own; // bits the engine allocated
    size_t OwnSize = 0;
    ULONG_PTR OverFile = 0; // the mapping whose view holds the bits, if any
    bool Associated = false;
    FLONG Hooks = 0;
};

struct GdiPalette {
    ULONG Mode = 0;
    FLONG Red = 0, Green = 0, Blue = 0;
    std::vector<ULONG> Colours;
};

struct GdiAllocation {
    size_t Size = 0;
    ULONG Tag = 0;
    std::unique_ptr<uint8_t[]> Bytes;
};

// A file of the simulated file system (the data file lives here), and one
// mapping of it: the view is the file's own bytes, which keep their address
// while it is mapped.
struct GdiFile {
    std::unique_ptr<uint8_t[]> Bytes;
    size_t Size = 0;
    unsigned Mapped = 0;
};
struct GdiMapping {
    std::string Path; // the key of Files
    uint8_t *View = nullptr;
    size_t Size = 0;
};

// Where the engine stands with the display driver, in win32k's order.
enum class DisplayStage { Unloaded, Loaded, PdevEnabled, PdevCompleted, InEnableSurface, Surface };

struct GdiState {
    DisplayStage Stage = DisplayStage::Unloaded;
    std::vector<DRVFN> Functions; // the driver's table, as DrvEnableDriver gave it
    DHPDEV Pdev = nullptr;
    HSURF Primary = nullptr;
    bool Asserted = false;
    DEVMODEW Mode{};
    GDIINFO Caps{};
    DEVINFO Info{};
    std::map<uintptr_t, GdiSurface> Surfaces;
    std::map<uintptr_t, GdiPalette> Palettes;
    std::map<const void *, GdiAllocation> Allocations;
    std::map<std::string, GdiFile> Files;
    std::map<ULONG_PTR, GdiMapping> Mappings;
    uintptr_t NextHandle = 0;
    std::string DataFile; // the path of the display driver's last mapping
    unsigned FailMaps = 0;
};

// The handles the engine gives the driver: its device, and the video device
// it opened for it (EngDeviceIoControl's hDevice).
extern const HDEV EngineDevice;
extern const HANDLE VideoDeviceHandle;

// A new handle for a surface or palette; never 0, never reused in a run.
uintptr_t NewGdiHandle();
GdiSurface *FindSurface(HSURF surface);
// Frees everything the engine holds for the driver (a new run, a failed
// enable) without findings.
void DropGdiObjects();
// The engine's load of the display driver at the display driver's open of
// the video device.
void LoadDisplayDriver();
// DrvDisableDriver when the video device closes (the display first turned
// off if it is on).
void UnloadDisplayDriver();
// A path's key in the simulated file system: lower case.
std::string FileKey(std::string_view path);
// Bytes per pixel of a BMF_ format, 0 for one the engine does not draw.
ULONG FormatBytes(ULONG format);

// The finding for a call the crossing cannot make.
void ReportCrossingArguments(size_t count);

// Calls a routine of the display driver: through the crossing when it lies
// in a mapped image, directly otherwise. The crossing passes one to six
// arguments; DrvEnablePDEV's eleven and DrvDisableDriver's none go directly,
// which is right for the host build only (a routine of an image is then a
// finding).
template <typename R, typename... P, typename... A>
R CallDisplay(R (*routine)(P...), A &&...arguments)
{
    if constexpr (sizeof...(P) >= 1 && sizeof...(P) <= 6) {
        return CallDriver(routine, std::forward<A>(arguments)...);
    } else {
        if (InImage((const void *)routine)) [[unlikely]] {
            ReportCrossingArguments(sizeof...(P));
            return R{};
        }
        kvrsim_fill_stack(FrameFillBytes);
        return routine(static_cast<P>(arguments)...);
    }
}

} // namespace sim::detail

#endif // KVR_SIM_GDI_GDI_H
