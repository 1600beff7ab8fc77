// The harness interface, the driver's real image: a part of sim.h, which includes every
// part in order; include sim.h, not this.

#ifndef KVR_SIM_IMAGE_HARNESS_H
#define KVR_SIM_IMAGE_HARNESS_H

namespace sim
{

// ---------------------------------------------------------------------------
// The driver's real image

// Takes the real kvrminiport.sys at path into use for the kernels to come,
// with the symbol file the windows-x64 build writes beside it from the PDB
// (kvrminiport.sym): every Reset from then on maps a fresh copy of it (its
// sections protected, relocated, its imports bound to the simulated kernel).
// Returns an empty text, or why the image cannot be used: missing, not an x64
// kernel image, an import the simulated kernel lacks, a symbol file of
// another build, a sanitizer build. Deterministic mode only.
std::string UseImage(std::string_view path);
void StopUsingImage();
bool ImageInUse();
// The mapped image's DriverEntry, for LoadDriver (null before a Reset maps it).
DriverEntryRoutine ImageEntry();
// The display driver's real image, kvrdisplay.dll, taken into use beside the
// miniport's the same way, with its symbol file (kvrdisplay.sym): every Reset
// maps a fresh copy of it too, its imports bound to the simulated GDI
// engine's Eng* routines, and the engine's calls into it go through the
// crossing. Returns an empty text, or why the DLL cannot be used (as
// UseImage; also a start-up section, which win32k would never discard).
std::string UseDisplayImage(std::string_view path);
void StopUsingDisplayImage();
bool DisplayImageInUse();
// The mapped DLL's entry point, DrvEnableDriver, for the GDI engine (null
// before a Reset maps it).
const void *DisplayImageEntry();
// The address in the mapped image of a global the symbol file names, and the
// offset of a member of one of its structures.
void *ImageData(std::string_view name);
std::optional<size_t> ImageFieldOffset(std::string_view structure, std::string_view member);
// The address in the mapped image of a routine the symbol file names (null
// if none), to be called only through the crossing (detail::CallDriver).
const void *ImageRoutine(std::string_view name);
// The Microsoft-convention entry point through which the image calls a
// kernel routine it imports (for tests of the crossing); null if none.
const void *ImageThunk(std::string_view routine);
// Declares other code (a test's own Microsoft-convention routines) to be
// called through the crossing like the image's.
void SetForeignCode(const void *begin, const void *end);

// The image's own stack use is measured at every kernel routine it calls (the
// bytes of its frames on that context) and as each call into it returns (the
// deepest word below its first frame no longer the stack pattern, also of
// routines that call no kernel routine). Above this budget is a finding. A
// Windows x64 kernel thread has a 24 KiB stack (KERNEL_STACK_SIZE); the
// driver shares it with the frames of whoever called it (the I/O manager and
// video port's dispatch of a request, or the plug-and-play manager's worker)
// and of the kernel routines it calls (the registry routines, the sibling
// driver's dispatch under IofCallDriver, an interrupt arriving on top), so it
// gets a third of it.
constexpr size_t ImageStackBudget = 8 * 1024;
struct ImageStackUse {
    size_t Deepest = 0; // bytes, over the kernel's life so far
    std::string Where;  // "at a call of R" (a kernel routine), "in R, seen as it returned"
};
ImageStackUse ImageStack();
// The CR8 accesses of the mapped copy that trapped and were emulated by the
// fault handler: those the loader could not place at load.
size_t ImageTrappedAccesses();

} // namespace sim

#endif // KVR_SIM_IMAGE_HARNESS_H
