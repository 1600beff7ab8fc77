// The image file: its headers read and checked (a PE32+ image for x64 of the
// native subsystem), its symbol file, and a mapped copy made from it: the
// headers and sections copied, every DIR64 base relocation applied, every
// import bound to its thunk (thunks.h), each section protected as its flags
// say.

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "image/loader.h"
#include "record.h"

namespace sim::detail
{

namespace
{

template <typename T> bool ReadAt(const std::vector<uint8_t> &bytes, size_t offset, T &value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

std::string Hex32(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The headers: a PE32+ image for x64, native subsystem.

} // namespace

std::string ParseHeaders(ImageFile &file)
{
    const std::vector<uint8_t> &b = file.Bytes;
    uint16_t mz = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!ReadAt(b, 0, mz) || mz != 0x5A4D || !ReadAt(b, 0x3C, peOffset) ||
        !ReadAt(b, peOffset, signature) || signature != 0x00004550)
        return "not a PE image";
    uint16_t machine = 0, sectionCount = 0, optionalSize = 0, magic = 0, subsystem = 0;
    ReadAt(b, peOffset + 4, machine);
    ReadAt(b, peOffset + 6, sectionCount);
    ReadAt(b, peOffset + 20, optionalSize);
    size_t optional = peOffset + 24;
    ReadAt(b, optional, magic);
    if (machine != 0x8664 || magic != 0x20B)
        return "not a PE32+ image for x64";
    ReadAt(b, optional + 68, subsystem);
    if (subsystem != 1)
        return "not a kernel-mode (native subsystem) image";
    ReadAt(b, optional + 16, file.EntryRva);
    ReadAt(b, optional + 24, file.PreferredBase);
    ReadAt(b, optional + 56, file.SizeOfImage);
    ReadAt(b, optional + 60, file.SizeOfHeaders);
    ReadAt(b, optional + 112 + 8 * 1, file.ImportRva);
    ReadAt(b, optional + 112 + 8 * 1 + 4, file.ImportSize);
    ReadAt(b, optional + 112 + 8 * 3, file.ExceptionRva);
    ReadAt(b, optional + 112 + 8 * 3 + 4, file.ExceptionSize);
    ReadAt(b, optional + 112 + 8 * 5, file.RelocRva);
    ReadAt(b, optional + 112 + 8 * 5 + 4, file.RelocSize);
    if (file.SizeOfImage == 0 || file.SizeOfImage > (64u << 20) ||
        file.SizeOfHeaders > file.SizeOfImage)
        return "image size out of range";
    size_t table = optional + optionalSize;
    for (unsigned i = 0; i < sectionCount; ++i) {
        size_t at = table + 40 * (size_t)i;
        char name[9] = {};
        if (at + 40 > b.size())
            return "section table cut short";
        memcpy(name, b.data() + at, 8);
        SectionInfo section{name, 0, 0, 0, 0, 0};
        ReadAt(b, at + 8, section.VirtualSize);
        ReadAt(b, at + 12, section.Rva);
        ReadAt(b, at + 16, section.RawSize);
        ReadAt(b, at + 20, section.RawOffset);
        ReadAt(b, at + 36, section.Characteristics);
        uint32_t span = std::max(section.VirtualSize, section.RawSize);
        if (section.Rva % 4096 != 0 || section.Rva > file.SizeOfImage ||
            span > file.SizeOfImage - section.Rva ||
            (section.RawSize &&
             (section.RawOffset > b.size() || section.RawSize > b.size() - section.RawOffset)))
            return "section " + section.Name + " lies outside the image";
        file.Sections.push_back(section);
    }
    return "";
}

// The symbol file the windows-x64 build writes from the PDB.
std::string ReadSymbols(ImageFile &file, const std::string &path, std::string_view entry)
{
    std::ifstream in(path);
    if (!in)
        return "no symbol file " + path + " (the windows-x64 build writes it from the PDB)";
    // The image's CodeView record: the GUID the symbol file must name.
    std::string guid;
    for (size_t at = 0; at + 24 <= file.Bytes.size(); ++at) {
        if (memcmp(file.Bytes.data() + at, "RSDS", 4) == 0) {
            guid = Hex(file.Bytes.data() + at + 4, 16);
            break;
        }
    }
    std::string line;
    bool named = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "image") {
            std::string theirs;
            words >> theirs;
            if (theirs != guid)
                return path + " is of another build than the image (GUID " + theirs +
                       ", the image's " + (guid.empty() ? "none" : guid) + ")";
            named = true;
        } else if (kind == "proc") {
            Procedure procedure{};
            words >> std::hex >> procedure.Rva >> std::dec >> procedure.Size >> procedure.Name;
            file.Procedures.push_back(procedure);
        } else if (kind == "data") {
            uint32_t rva = 0;
            std::string name;
            words >> std::hex >> rva >> name;
            file.Data[name] = rva;
        } else if (kind == "field") {
            std::string structure, member;
            size_t offset = 0;
            words >> structure >> member >> offset;
            file.Fields[structure + "." + member] = offset;
        }
    }
    if (!named)
        return path + " names no image";
    std::sort(file.Procedures.begin(), file.Procedures.end(),
              [](const Procedure &a, const Procedure &b) { return a.Rva < b.Rva; });
    auto found = std::find_if(file.Procedures.begin(), file.Procedures.end(),
                              [&](const Procedure &p) { return p.Name == entry; });
    if (found == file.Procedures.end() || found->Rva != file.EntryRva)
        return "the image's entry point is not " + std::string(entry) + " of its symbols";
    return "";
}

namespace
{

const ImportThunk *FindThunk(std::string_view dll, std::string_view routine)
{
    for (size_t i = 0; i < ImportThunkCount; ++i) {
        const ImportThunk &thunk = ImportThunks[i];
        std::string_view theirs = thunk.Dll;
        if (theirs.size() == dll.size() && thunk.Routine == routine &&
            std::equal(dll.begin(), dll.end(), theirs.begin(),
                       [](char a, char b) { return tolower(a) == tolower(b); }))
            return &thunk;
    }
    return nullptr;
}

int Protection(uint32_t characteristics)
{
    int protection = 0;
    if (characteristics & ScnRead)
        protection |= PROT_READ;
    if (characteristics & ScnWrite)
        protection |= PROT_WRITE;
    if (characteristics & ScnExecute)
        protection |= PROT_EXEC | PROT_READ;
    return protection;
}

std::string Relocate(const ImageFile &file, uint8_t *base)
{
    int64_t delta = (int64_t)((uintptr_t)base - file.PreferredBase);
    uint32_t at = file.RelocRva, end = file.RelocRva + file.RelocSize;
    while (at + 8 <= end) {
        uint32_t page, size;
        memcpy(&page, base + at, 4);
        memcpy(&size, base + at + 4, 4);
        if (size < 8 || size > end - at)
            return "malformed base relocation block at " + Hex32(at);
        for (uint32_t i = 8; i + 2 <= size; i += 2) {
            uint16_t entry;
            memcpy(&entry, base + at + i, 2);
            unsigned kind = entry >> 12, offset = entry & 0xFFF;
            if (kind == 0)
                continue;
            if (kind != 10)
                return "base relocation of type " + std::to_string(kind) + " (only DIR64 is known)";
            if ((uint64_t)page + offset + 8 > file.SizeOfImage)
                return "base relocation outside the image";
            uint64_t value;
            memcpy(&value, base + page + offset, 8);
            value += (uint64_t)delta;
            memcpy(base + page + offset, &value, 8);
        }
        at += size;
    }
    return "";
}

std::string ReadName(const ImageFile &file, const uint8_t *base, uint32_t rva)
{
    std::string name;
    while (rva < file.SizeOfImage && base[rva] && name.size() < 256)
        name.push_back((char)base[rva++]);
    return name;
}

std::string Bind(const ImageFile &file, uint8_t *base)
{
    for (uint32_t at = file.ImportRva; at + 20 <= file.SizeOfImage; at += 20) {
        uint32_t lookup, nameRva, addresses;
        memcpy(&lookup, base + at, 4);
        memcpy(&nameRva, base + at + 12, 4);
        memcpy(&addresses, base + at + 16, 4);
        if (!nameRva && !addresses)
            return "";
        std::string dll = ReadName(file, base, nameRva);
        uint32_t names = lookup ? lookup : addresses;
        for (uint32_t i = 0;; i += 8) {
            if (names + i + 8 > file.SizeOfImage || addresses + i + 8 > file.SizeOfImage)
                return "import table of " + dll + " runs out of the image";
            uint64_t entry;
            memcpy(&entry, base + names + i, 8);
            if (!entry)
                break;
            if (entry >> 63)
                return "imports from " + dll + " by ordinal";
            std::string routine = ReadName(file, base, (uint32_t)entry + 2);
            const ImportThunk *thunk = FindThunk(dll, routine);
            if (!thunk)
                return "imports " + dll + "!" + routine +
                       ", which the simulated kernel does not provide";
            uint64_t address = (uint64_t)(uintptr_t)thunk->Entry;
            memcpy(base + addresses + i, &address, 8);
        }
    }
    return "import directory runs out of the image";
}

} // namespace

std::string MapFile(const ImageFile &file, Mapping &map)
{
    size_t size = ((size_t)file.SizeOfImage + 4095) & ~size_t(4095);
    size_t extra = PlacementBytes(file);
    void *memory =
        mmap(nullptr, size + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return "cannot map " + std::to_string(size + extra) + " bytes";
    uint8_t *base = (uint8_t *)memory;
    map = Mapping{};
    map.Base = base;
    map.Size = file.SizeOfImage;
    map.Extra = size + extra - file.SizeOfImage;
    memcpy(base, file.Bytes.data(), std::min<size_t>(file.SizeOfHeaders, file.Bytes.size()));
    for (const SectionInfo &section : file.Sections)
        if (section.RawSize)
            memcpy(base + section.Rva, file.Bytes.data() + section.RawOffset,
                   std::min(section.RawSize, std::max(section.VirtualSize, section.RawSize)));
    std::string error = Relocate(file, base);
    if (error.empty())
        error = Bind(file, base);
    if (!error.empty()) {
        munmap(base, size + extra);
        map = Mapping{};
        return error;
    }
    PlaceControlRegisterAccesses(file, base);
    mprotect(base, 4096, PROT_READ);
    for (const SectionInfo &section : file.Sections) {
        size_t size = (std::max(section.VirtualSize, section.RawSize) + 4095) & ~size_t(4095);
        int protection = Protection(section.Characteristics);
        mprotect(base + section.Rva, size, protection);
        if (section.Name == "INIT") {
            map.Init = base + section.Rva;
            map.InitSize = size;
            map.InitProtection = protection;
        } else if (section.Name == "PAGE") {
            map.Page = base + section.Rva;
            map.PageSize = size;
            map.PageProtection = protection;
        }
    }
    return "";
}

} // namespace sim::detail
