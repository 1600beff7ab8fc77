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

struct ImageFile {
    std::string Path;
    std::vector<uint8_t> Bytes;
    uint64_t PreferredBase = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SizeOfHeaders = 0;
    uint32_t EntryRva = 0;
    uint32_t ImportRva = 0, ImportSize = 0;
    uint32_t RelocRva = 0, RelocSize = 0;
    std::vector<SectionInfo> Sections;
    std::vector<Procedure> Procedures; // by RVA
    std::map<std::string, uint32_t> Data;
    std::map<std::string, size_t> Fields; // "STRUCTURE.Member"
};

extern ImageFile *TheFile; // the image in use; kept for the kernels to come
// The display driver's DLL in use beside it (null: none), read and checked
// the same way and mapped beside it by each kernel.
extern ImageFile *DisplayFile;

constexpr uint32_t ScnExecute = 0x20000000, ScnRead = 0x40000000, ScnWrite = 0x80000000;

// --- A mapped copy -----------------------------------------------------------

struct Mapping {
    uint8_t *Base = nullptr;
    size_t Size = 0;
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

// The fault handler (faults.cpp), installed while an image is in use, and
// the faults and stack use recorded for the mapped copy, forgotten with it.
void InstallHandler();
void RemoveHandler();
void ForgetImageFaults();

} // namespace sim::detail

#endif // KVR_SIM_IMAGE_LOADER_H
