// The loader of the real image, kvrminiport.sys, and what the kernel does
// around it: its mapping for each new kernel, its discarded start-up section,
// its pageable section, its stack, and the instructions only the processor's
// kernel mode may run.
//
// Mapping. The file is read once (UseImage) and checked; each kernel maps a
// fresh copy of it at an address the system chooses, so the base relocations
// are always applied: the headers and sections copied, every DIR64 field
// moved by the distance from the preferred base, every import bound to the
// simulated kernel's thunk of that name (image/thunks.h, written from the
// image's list of imports: an import without a thunk is refused here, a
// thunk without a routine fails the build), then each section protected as
// its flags say.
//
// INIT and PAGE. Once DriverEntry has returned, INIT is inaccessible; PAGE is
// inaccessible while the context about to run image code is at
// DISPATCH_LEVEL or above. The protections are set at each crossing into the
// image and on each return from a kernel routine into it (a thread switch
// happens only inside a kernel routine). Code that runs there anyway faults;
// the fault handler records which routine it was, makes the section
// accessible so the image can go on, and the finding is reported at the next
// kernel call or at the end of the crossing (a signal handler makes no
// findings itself). The section is closed again at that point.
//
// CR8. `mov reg, cr8` (the inlined KeGetCurrentIrql) and `mov cr8, reg` fault
// in user mode. The loader routes each one it can place to the emulation
// through a trampoline at load (placement.cpp); one it cannot place faults,
// and the handler reads or sets the IRQL of the calling context and steps
// over the instruction. Any other privileged instruction is a finding,
// stepped over where its length is known.
//
// Stack. At every kernel call the thunk measures how many bytes of stack the
// image's own frames take on that context (its frames of the crossings in
// progress, without the kernel's between them); as each crossing returns the
// pattern it left below the image's first frame shows the image's deepest
// word (the kernel's frames of its calls lie below that area); the deepest
// is kept, and a use above ImageStackBudget reported.
//
// Unwind data. Every routine of the image that is not a leaf has its entry
// in .pdata (unwind.cpp): checked once at load, each one missing a finding
// at every mapping.
//
// The fault handler is installed while an image is in use, and an image is
// refused in a sanitizer build: their handlers and fiber annotations do not
// mix with it.

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "image/loader.h"
#include "record.h"

namespace sim::detail
{

uintptr_t ImageBegin = 0, ImageEnd = 0;
uintptr_t DisplayBegin = 0, DisplayEnd = 0;
ImageFile *TheFile = nullptr; // the image in use; kept for the kernels to come
ImageFile *DisplayFile = nullptr;
Mapping Map{};
Mapping DisplayMap{};

namespace
{

void Unmap(Mapping &map, uintptr_t &begin, uintptr_t &end)
{
    if (map.Base)
        munmap(map.Base, map.Size + map.Extra);
    map = Mapping{};
    begin = end = 0;
}

void MapForKernel(const ImageFile *file, Mapping &map, uintptr_t &begin, uintptr_t &end)
{
    if (!file)
        return;
    std::string error = MapFile(*file, map);
    if (!error.empty()) {
        // Checked when the image was taken into use; only the system's
        // memory can fail here.
        fprintf(stderr, "kvrsim: %s: %s\n", file->Path.c_str(), error.c_str());
        abort();
    }
    begin = (uintptr_t)map.Base;
    end = begin + map.Size;
    InstallHandler();
    for (const std::string &finding : file->Unwind) {
        Guard guard;
        Violate(finding);
    }
}

// Reads and checks an image file and its symbol file (the file's name with
// .sym for its extension), and maps a trial copy: relocations and imports
// are checked here, once. entry: the routine its entry point must be.
std::string ReadImage(std::string_view path, std::string_view entry,
                      std::unique_ptr<ImageFile> &file)
{
#if defined(KVR_SIM_ASAN) || defined(KVR_SIM_TSAN)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
    if (sanitized)
        return "the real image does not run in a sanitizer build (its fault handler and the "
               "sanitizers' do not mix): use the host or host-release build";
    file = std::make_unique<ImageFile>();
    file->Path = std::string(path);
    std::ifstream in(file->Path, std::ios::binary);
    if (!in)
        return file->Path + ": cannot open: " + strerror(errno);
    file->Bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string error = ParseHeaders(*file);
    if (error.empty()) {
        std::string symbols = file->Path;
        size_t dot = symbols.rfind('.');
        size_t slash = symbols.rfind('/');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            symbols.resize(dot);
        error = ReadSymbols(*file, symbols + ".sym", entry);
    }
    if (error.empty()) {
        Mapping trial;
        error = MapFile(*file, trial);
        if (error.empty()) {
            PlanControlRegisterAccesses(*file, trial.Base);
            CheckUnwindData(*file, trial.Base);
            munmap(trial.Base, trial.Size + trial.Extra);
        }
    }
    if (!error.empty())
        return error.rfind(file->Path, 0) == 0 ? error : file->Path + ": " + error;
    return "";
}

} // namespace

void UnmapImage()
{
    Unmap(Map, ImageBegin, ImageEnd);
    Unmap(DisplayMap, DisplayBegin, DisplayEnd);
    ForgetImageFaults();
}

void MapImageForKernel()
{
    UnmapImage();
    MapForKernel(TheFile, Map, ImageBegin, ImageEnd);
    MapForKernel(DisplayFile, DisplayMap, DisplayBegin, DisplayEnd);
}

} // namespace sim::detail

using namespace sim::detail;

namespace sim
{

std::string UseImage(std::string_view path)
{
    std::unique_ptr<ImageFile> file;
    if (std::string error = ReadImage(path, "DriverEntry", file); !error.empty())
        return error;
    StopUsingImage();
    TheFile = file.release();
    return "";
}

void StopUsingImage()
{
    UnmapImage();
    if (!DisplayFile)
        RemoveHandler();
    delete TheFile;
    TheFile = nullptr;
}

bool ImageInUse()
{
    return TheFile != nullptr;
}

std::string UseDisplayImage(std::string_view path)
{
    std::unique_ptr<ImageFile> file;
    if (std::string error = ReadImage(path, "DrvEnableDriver", file); !error.empty())
        return error;
    // win32k does not discard a display driver's sections after
    // DrvEnableDriver, so a start-up section there would never be closed.
    for (const SectionInfo &section : file->Sections)
        if (section.Name == "INIT")
            return file->Path + ": a display driver has no start-up (INIT) section";
    StopUsingDisplayImage();
    DisplayFile = file.release();
    return "";
}

void StopUsingDisplayImage()
{
    UnmapImage();
    if (!TheFile)
        RemoveHandler();
    delete DisplayFile;
    DisplayFile = nullptr;
}

bool DisplayImageInUse()
{
    return DisplayFile != nullptr;
}

const void *DisplayImageEntry()
{
    if (!DisplayMap.Base)
        return nullptr;
    return DisplayMap.Base + DisplayFile->EntryRva;
}

DriverEntryRoutine ImageEntry()
{
    if (!Map.Base)
        return nullptr;
    return (DriverEntryRoutine)(void *)(Map.Base + TheFile->EntryRva);
}

void *ImageData(std::string_view name)
{
    if (!Map.Base)
        return nullptr;
    auto found = TheFile->Data.find(std::string(name));
    return found == TheFile->Data.end() ? nullptr : Map.Base + found->second;
}

std::optional<size_t> ImageFieldOffset(std::string_view structure, std::string_view member)
{
    if (!TheFile)
        return std::nullopt;
    auto found = TheFile->Fields.find(std::string(structure) + "." + std::string(member));
    if (found == TheFile->Fields.end())
        return std::nullopt;
    return found->second;
}

const void *ImageRoutine(std::string_view name)
{
    if (!Map.Base)
        return nullptr;
    for (const Procedure &procedure : TheFile->Procedures)
        if (procedure.Name == name)
            return Map.Base + procedure.Rva;
    return nullptr;
}

const void *ImageThunk(std::string_view routine)
{
    for (size_t i = 0; i < ImportThunkCount; ++i)
        if (ImportThunks[i].Routine == routine)
            return ImportThunks[i].Entry;
    return nullptr;
}

} // namespace sim
