// EngMapFile and EngUnmapFile over the simulated file system, where the data
// file lives: the \??\ form of the name, and the size semantics of the page
// (0 maps the whole file; a larger size extends it, a smaller one truncates
// it, before the mapping).

#include <cctype>

#include "record.h"

using namespace sim::detail;

namespace
{

// Bytes past a file's old end after EngMapFile extended it: the page says
// nothing can be assumed about them.
constexpr uint8_t ExtendedFill = 0xA7;

std::string Narrow(const WCHAR *text, size_t limit)
{
    std::string narrow;
    for (size_t i = 0; i < limit && text[i] != 0; ++i)
        narrow += text[i] < 0x80 ? char(text[i]) : '?';
    return narrow;
}

// \??\ + a drive letter + :\ + at least one more character.
bool FullyQualified(const std::string &path)
{
    return path.size() > 7 && path.compare(0, 4, "\\??\\") == 0 &&
           std::isalpha((unsigned char)path[4]) && path[5] == ':' && path[6] == '\\';
}

// Resizes a file that nothing maps, keeping its bytes up to the new size.
void Resize(GdiFile &file, size_t size)
{
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    size_t kept = std::min(size, file.Size);
    if (kept)
        memcpy(bytes.get(), file.Bytes.get(), kept);
    if (size > kept)
        memset(bytes.get() + kept, ExtendedFill, size - kept);
    file.Bytes = std::move(bytes);
    file.Size = size;
}

} // namespace

namespace sim::detail
{

std::string FileKey(std::string_view path)
{
    std::string key(path);
    for (char &c : key)
        c = char(std::tolower((unsigned char)c));
    return key;
}

} // namespace sim::detail

namespace sim
{

std::optional<std::vector<uint8_t>> SimulatedFile(std::string_view path)
{
    HarnessEntry();
    auto found = K->Files.find(FileKey(path));
    if (found == K->Files.end())
        return std::nullopt;
    const GdiFile &file = found->second;
    return std::vector<uint8_t>(file.Bytes.get(), file.Bytes.get() + file.Size);
}

void FailNextFileMaps(unsigned count)
{
    HarnessEntry();
    K->FailMaps = count;
}

} // namespace sim

extern "C" {

PVOID EngMapFile(LPWSTR pwsz, ULONG cjSize, ULONG_PTR *piFile)
{
    EnsureKernelForThread();
    Guard guard;
    if (piFile == nullptr) {
        Violate("EngMapFile without a place for the file's identifier (piFile NULL)");
        return nullptr;
    }
    *piFile = 0;
    if (pwsz == nullptr) {
        Violate("EngMapFile without a file name");
        return nullptr;
    }
    std::string path = Narrow(pwsz, 1024);
    if (!FullyQualified(path)) {
        Violate("EngMapFile(\"" + path +
                "\"): the name must be fully qualified, as \\??\\c:\\test.dat");
        return nullptr;
    }
    if (K->FailMaps) {
        --K->FailMaps;
        return nullptr;
    }
    std::string key = FileKey(path);
    GdiFile &file = K->Files[key];
    if (file.Mapped) {
        // Truncating or extending a file that a view still maps fails, as a
        // section's file cannot change size under it.
        if (cjSize != 0 && cjSize != file.Size)
            return nullptr;
    } else if (cjSize != 0 && cjSize != file.Size) {
        Resize(file, cjSize);
    }
    // A file of no bytes cannot be mapped (an empty section).
    if (file.Size == 0)
        return nullptr;
    ++file.Mapped;
    ULONG_PTR id = NewGdiHandle();
    K->Mappings[id] = GdiMapping{key, file.Bytes.get(), file.Size};
    *piFile = id;
    K->DataFile = key;
    return file.Bytes.get();
}

BOOL EngUnmapFile(ULONG_PTR iFile)
{
    EnsureKernelForThread();
    Guard guard;
    auto found = K->Mappings.find(iFile);
    if (found == K->Mappings.end()) {
        Violate("EngUnmapFile of an identifier EngMapFile did not return, or unmapped already");
        return FALSE;
    }
    for (const auto &[handle, surface] : K->Surfaces)
        if (surface.OverFile == iFile) {
            Violate("EngUnmapFile while a surface still draws into the view (delete the "
                    "surface first)");
            break;
        }
    if (auto file = K->Files.find(found->second.Path); file != K->Files.end())
        --file->second.Mapped;
    K->Mappings.erase(found);
    return TRUE;
}

} // extern "C"
