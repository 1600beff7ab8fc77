// What the loader's files share: the image file as read and checked, its
// mapped copy, and the fault handler's side.

#ifndef KVR_SIM_IMAGE_LOADER_H
#define KVR_SIM_IMAGE_LOADER_H

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "image/thunks.h"
#include "record.h"

namespace sim::detail
{

// --- The file --------------------------------------------------------------

struct SectionInfo {
    std::string Name;
    uint32_t Rva;
    uint32_t VirtualSize;
    uint32_t RawOffset;
    uint32_t RawSize;
    uint32_t Characteristics;
};

struct Procedure {
    uint32_t Rva;
    uint32_t Size;
    std::string Name;
};

// A CR8 access the loader routes through a trampoline (placement.cpp): the
// bytes it covers, access first, each piece an emulated access or an
// instruction copied as it is.
struct PlacedPiece {
    uint32_t Rva;
    uint8_t Length;
    bool Emulated;
    bool Write;       // mov cr8, reg
    uint8_t Register; // its general register, by encoding
};
struct PlacedSite {
    uint32_t Rva;
    uint32_t Cover;
    std::vector<PlacedPiece> Pieces;
};

struct ImageFile {
    std::string Path;
    std::vector<uint8_t> Bytes;
    uint64_t PreferredBase = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SizeOfHeaders = 0;
    uint32_t EntryRva = 0;
    uint32_t ImportRva = 0, ImportSize = 0;
    uint32_t RelocRva = 0, RelocSize = 0;
    uint32_t ExceptionRva = 0, ExceptionSize = 0; // .pdata
    std::vector<SectionInfo> Sections;
    std::vector<Procedure> Procedures; // by RVA
    std::map<std::string, uint32_t> Data;
    std::map<std::string, size_t> Fields; // "STRUCTURE.Member"
    std::vector<PlacedSite> Placed;       // by RVA
    size_t Unplaced = 0;                  // CR8 accesses found and left to trap
    std::vector<std::string> Unwind;      // findings of the unwind data, made at each mapping
};

extern ImageFile *TheFile; // the image in use; kept for the kernels to come
// The display driver's DLL in use beside it (null: none), read and checked
// the same way and mapped beside it by each kernel.
extern ImageFile *DisplayFile;

constexpr uint32_t ScnExecute = 0x20000000, ScnRead = 0x40000000, ScnWrite = 0x80000000;

// --- A mapped copy -----------------------------------------------------------

struct Mapping {
    uint8_t *Base = nullptr;
    size_t Size = 0;  // the image
    size_t Extra = 0; // mapped after it: the trampolines and their data
    // The two sections whose access changes, and their state.
    uint8_t *Init = nullptr;
    size_t InitSize = 0;
    int InitProtection = 0;
    uint8_t *Page = nullptr;
    size_t PageSize = 0;
    int PageProtection = 0;
    bool InitOpen = true;
    bool PageOpen = true;
};

extern Mapping Map;
extern Mapping DisplayMap; // the display driver's DLL

// Each mapping with the file it was made from, for the fault handler and the
// names of routines; a mapping not made has a null Base.
struct MappedImage {
    Mapping *Map;
    ImageFile *const *File;
};
inline constexpr MappedImage MappedImages[] = {{&Map, &TheFile}, {&DisplayMap, &DisplayFile}};

// Reading and mapping the file (file.cpp): each returns an error text, empty
// when it succeeded.
std::string ParseHeaders(ImageFile &file);
// entry: the routine the image's entry point must be (DriverEntry, or a
// display driver's DrvEnableDriver).
std::string ReadSymbols(ImageFile &file, const std::string &path, std::string_view entry);
std::string MapFile(const ImageFile &file, Mapping &map);

// CR8 accesses placed at load (placement.cpp): planned once from a mapped
// copy, the bytes the plan needs after the image, its routes written into
// each new mapping before its sections are protected.
void PlanControlRegisterAccesses(ImageFile &file, const uint8_t *base);
size_t PlacementBytes(const ImageFile &file);
void PlaceControlRegisterAccesses(const ImageFile &file, uint8_t *base);
// The unwind data (unwind.cpp): each routine that needs it and has none, as
// a finding's text, checked once from a mapped copy.
void CheckUnwindData(ImageFile &file, const uint8_t *base);

// A CR8 access of the image, trapped or placed: a read gives the calling
// context's IRQL, a write sets it (faults.cpp).
void EmulateControlRegisterEight(bool write, uint64_t &value);

// Where the image's kernel calls put their frames while code of the crossing
// `cross` runs: below the area it filled with the stack pattern.
inline void SetImageCallStack(const CrossRecord &cross)
{
    kvrsim_image_call_stack = cross.Top ? cross.Top - cross.Fill - 64 : 0;
}

// The fault handler (faults.cpp), installed while an image is in use, and
// the faults and stack use recorded for the mapped copy, forgotten with it.
void InstallHandler();
void RemoveHandler();
void ForgetImageFaults();

} // namespace sim::detail

#endif // KVR_SIM_IMAGE_LOADER_H
