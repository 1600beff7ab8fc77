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
// in user mode; the handler reads or sets the IRQL of the calling context and
// steps over the instruction. Any other privileged instruction is a finding,
// stepped over where its length is known.
//
// Stack. At every kernel call the thunk measures how many bytes of stack the
// image's own frames take on that context (its frames of the crossings in
// progress, without the kernel's between them), keeps the deepest, and
// reports a use above ImageStackBudget.
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

#include "record.h"
#include "image/thunks.h"

namespace sim::detail
{

uintptr_t ImageBegin = 0, ImageEnd = 0;

namespace
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

ImageFile *TheFile = nullptr; // the image in use; kept for the kernels to come

constexpr uint32_t ScnExecute = 0x20000000, ScnRead = 0x40000000, ScnWrite = 0x80000000;

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
std::string ReadSymbols(ImageFile &file, const std::string &path)
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
    auto entry = std::find_if(file.Procedures.begin(), file.Procedures.end(),
                              [](const Procedure &p) { return p.Name == "DriverEntry"; });
    if (entry == file.Procedures.end() || entry->Rva != file.EntryRva)
        return "the image's entry point is not DriverEntry of its symbols";
    return "";
}

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

Mapping Map{};

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

std::string MapFile(const ImageFile &file, Mapping &map)
{
    void *memory =
        mmap(nullptr, file.SizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return "cannot map " + std::to_string(file.SizeOfImage) + " bytes";
    uint8_t *base = (uint8_t *)memory;
    map = Mapping{};
    map.Base = base;
    map.Size = file.SizeOfImage;
    memcpy(base, file.Bytes.data(), std::min<size_t>(file.SizeOfHeaders, file.Bytes.size()));
    for (const SectionInfo &section : file.Sections)
        if (section.RawSize)
            memcpy(base + section.Rva, file.Bytes.data() + section.RawOffset,
                   std::min(section.RawSize, std::max(section.VirtualSize, section.RawSize)));
    std::string error = Relocate(file, base);
    if (error.empty())
        error = Bind(file, base);
    if (!error.empty()) {
        munmap(base, file.SizeOfImage);
        map = Mapping{};
        return error;
    }
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

// --- Faults --------------------------------------------------------------------

enum class FaultKind : uint8_t { Init, Page, Privileged };
struct Fault {
    FaultKind Kind;
    KIRQL Irql;
    uintptr_t Address; // the instruction
    uint8_t Bytes[4];
};
// Written by the handler, read at the next kernel call: a fixed array (the
// handler allocates nothing).
constexpr size_t FaultSlots = 16;
Fault Faults[FaultSlots];
volatile size_t FaultCount = 0;
struct sigaction PreviousAction;
bool HandlerInstalled = false;

bool Within(uintptr_t address, const uint8_t *start, size_t size)
{
    return start && address >= (uintptr_t)start && address < (uintptr_t)start + size;
}

void Record(FaultKind kind, KIRQL irql, uintptr_t address)
{
    if (FaultCount >= FaultSlots)
        return;
    Fault &fault = Faults[FaultCount];
    fault.Kind = kind;
    fault.Irql = irql;
    fault.Address = address;
    memset(fault.Bytes, 0, sizeof fault.Bytes);
    // Only a privileged instruction's bytes are read: the other faults are
    // in sections closed at this moment.
    if (kind == FaultKind::Privileged && InImage((const void *)address))
        memcpy(fault.Bytes, (const void *)address, 4);
    FaultCount = FaultCount + 1;
}

void SetInit(bool open)
{
    if (Map.Init && open != Map.InitOpen) {
        mprotect(Map.Init, Map.InitSize, open ? Map.InitProtection : PROT_NONE);
        Map.InitOpen = open;
    }
}

void SetPage(bool open)
{
    if (Map.Page && open != Map.PageOpen) {
        mprotect(Map.Page, Map.PageSize, open ? Map.PageProtection : PROT_NONE);
        Map.PageOpen = open;
    }
}

// The general registers in the order of their encoding in an instruction.
const int EncodedRegister[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                 REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                 REG_R12, REG_R13, REG_R14, REG_R15};

// A privileged instruction at rip: CR8 emulated, anything else recorded.
// Returns its length, 0 when it is not one the handler knows.
size_t Privileged(ucontext_t *context, const uint8_t *rip)
{
    size_t at = 0;
    uint8_t rex = 0;
    if ((rip[0] & 0xF0) == 0x40)
        rex = rip[at++];
    if (rip[at] == 0x0F && (rip[at + 1] == 0x20 || rip[at + 1] == 0x22) &&
        (rip[at + 2] & 0xC0) == 0xC0) {
        unsigned control = ((rip[at + 2] >> 3) & 7) | ((rex & 4) ? 8 : 0);
        unsigned reg = (rip[at + 2] & 7) | ((rex & 1) ? 8 : 0);
        greg_t &value = context->uc_mcontext.gregs[EncodedRegister[reg]];
        if (control != 8) {
            Record(FaultKind::Privileged, 0, (uintptr_t)rip);
            return at + 3;
        }
        Thread *thread = CurrentThread();
        if (rip[at + 1] == 0x20) {
            value = (greg_t)thread->Irql;
        } else {
            thread->Irql = (KIRQL)(value & 15);
            SetPage(thread->Irql < DISPATCH_LEVEL);
        }
        return at + 3;
    }
    size_t length = 0;
    switch (rip[0]) {
    case 0xFA: // cli
    case 0xFB: // sti
    case 0xF4: // hlt
    case 0xEC: // in and out through dx
    case 0xED:
    case 0xEE:
    case 0xEF:
        length = 1;
        break;
    case 0xE4: // in and out through an immediate port
    case 0xE5:
    case 0xE6:
    case 0xE7:
        length = 2;
        break;
    case 0x0F:
        if (rip[1] == 0x30 || rip[1] == 0x32 || rip[1] == 0x08 || rip[1] == 0x09 || rip[1] == 0x06)
            length = 2; // wrmsr, rdmsr, invd, wbinvd, clts
        break;
    }
    if (length)
        Record(FaultKind::Privileged, 0, (uintptr_t)rip);
    return length;
}

void OnFault(int signal, siginfo_t *info, void *raw)
{
    ucontext_t *context = (ucontext_t *)raw;
    uintptr_t rip = (uintptr_t)context->uc_mcontext.gregs[REG_RIP];
    uintptr_t address = (uintptr_t)info->si_addr;
    if (K && Map.Base) {
        if (!Map.InitOpen && Within(address, Map.Init, Map.InitSize)) {
            Record(FaultKind::Init, 0, rip);
            SetInit(true);
            return;
        }
        if (!Map.PageOpen && Within(address, Map.Page, Map.PageSize)) {
            Record(FaultKind::Page, CurrentThread()->Irql, rip);
            SetPage(true);
            return;
        }
        if (InImage((const void *)rip)) {
            size_t length = Privileged(context, (const uint8_t *)rip);
            if (length) {
                context->uc_mcontext.gregs[REG_RIP] = (greg_t)(rip + length);
                return;
            }
            char text[160];
            int n = snprintf(text, sizeof text,
                             "kvrsim: the image faulted at image+0x%zx, touching %#zx\n",
                             (size_t)(rip - ImageBegin), (size_t)address);
            if (n > 0 && write(2, text, (size_t)n) < 0)
                n = 0;
        }
    }
    // Not the image's: the fault the process would have had without us.
    sigaction(signal, &PreviousAction, nullptr);
}

void InstallHandler()
{
    if (HandlerInstalled)
        return;
    struct sigaction action {
    };
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &PreviousAction);
    HandlerInstalled = true;
}

void RemoveHandler()
{
    if (!HandlerInstalled)
        return;
    sigaction(SIGSEGV, &PreviousAction, nullptr);
    HandlerInstalled = false;
}

const Procedure *ProcedureAt(uintptr_t address)
{
    if (!TheFile || address < ImageBegin || address >= ImageEnd)
        return nullptr;
    uint32_t rva = (uint32_t)(address - ImageBegin);
    const std::vector<Procedure> &list = TheFile->Procedures;
    auto after = std::upper_bound(list.begin(), list.end(), rva,
                                  [](uint32_t at, const Procedure &p) { return at < p.Rva; });
    if (after == list.begin())
        return nullptr;
    const Procedure &p = *(after - 1);
    return rva < p.Rva + std::max<uint32_t>(p.Size, 1) ? &p : nullptr;
}

// --- Stack -------------------------------------------------------------------

struct StackRecord {
    size_t Deepest = 0;
    std::string Routine; // the kernel routine called at the deepest point
    bool Reported = false;
    std::set<std::string> InitReported; // routines, once each
    std::set<std::string> PageReported;
};
StackRecord Stack;

} // namespace

std::string ImageRoutineName(const void *address)
{
    if (const Procedure *p = ProcedureAt((uintptr_t)address))
        return p->Name;
    char text[40];
    snprintf(text, sizeof text, "the routine at %p", address);
    return text;
}

void ProtectImageForContext()
{
    if (!Map.Base)
        return;
    SetInit(!K->DriverEntryReturned.load(std::memory_order_relaxed));
    SetPage(CurrentThread()->Irql < DISPATCH_LEVEL);
}

void ReportImageFaults()
{
    if (!FaultCount) [[likely]]
        return;
    size_t count = FaultCount;
    Fault seen[FaultSlots];
    std::copy(Faults, Faults + count, seen);
    FaultCount = 0;
    for (size_t i = 0; i < count; ++i) {
        const Fault &fault = seen[i];
        std::string routine = ImageRoutineName((const void *)fault.Address);
        Guard guard;
        switch (fault.Kind) {
        case FaultKind::Init:
            if (Stack.InitReported.insert(routine).second)
                Violate("start-up code running after DriverEntry returned: " + routine +
                        " lies in INIT, which the platform has discarded");
            break;
        case FaultKind::Page:
            // Once per routine and level: the section is closed again at
            // each kernel call the routine makes.
            if (Stack.PageReported.insert(routine + "@" + std::to_string(fault.Irql)).second)
                Violate("pageable code running at IRQL " + std::to_string(fault.Irql) + ": " +
                        routine + " lies in PAGE, and a page fault there stops the system " +
                        OnTarget());
            break;
        case FaultKind::Privileged:
            Violate("privileged instruction " + Hex(fault.Bytes, 4) + " in " + routine +
                    ": only CR8 (the IRQL) is emulated");
            break;
        }
    }
    // Closed again for the code that runs next.
    ProtectImageForContext();
}

void KernelCalledFromImage(size_t thunk, const void *frame)
{
    Thread *thread = CurrentThread();
    if (thread->Cross.Top) {
        uintptr_t bottom = (uintptr_t)frame + 16;
        size_t used = thread->ImageUsedOutside +
                      (thread->Cross.Top > bottom ? thread->Cross.Top - bottom : 0);
        thread->ImageUseAtCall = used;
        if (used > Stack.Deepest) {
            Stack.Deepest = used;
            Stack.Routine = ImportThunks[thunk].Routine;
            if (used > ImageStackBudget && !Stack.Reported) {
                Stack.Reported = true;
                Guard guard;
                Violate("the image's frames take " + std::to_string(used) +
                        " bytes of stack at a call of " + Stack.Routine + ", over the budget of " +
                        std::to_string(ImageStackBudget) + " bytes of the 24 KiB kernel stack");
            }
        }
    }
    ReportImageFaults();
}

void ReturningToImage()
{
    ProtectImageForContext();
}

void UnmapImage()
{
    if (Map.Base)
        munmap(Map.Base, Map.Size);
    Map = Mapping{};
    ImageBegin = ImageEnd = 0;
    FaultCount = 0;
    Stack = StackRecord{};
}

void MapImageForKernel()
{
    UnmapImage();
    if (!TheFile)
        return;
    std::string error = MapFile(*TheFile, Map);
    if (!error.empty()) {
        // Checked when the image was taken into use; only the system's
        // memory can fail here.
        fprintf(stderr, "kvrsim: %s: %s\n", TheFile->Path.c_str(), error.c_str());
        abort();
    }
    ImageBegin = (uintptr_t)Map.Base;
    ImageEnd = ImageBegin + Map.Size;
    InstallHandler();
}

} // namespace sim::detail

using namespace sim::detail;

namespace sim
{

std::string UseImage(std::string_view path)
{
#if defined(KVR_SIM_ASAN) || defined(KVR_SIM_TSAN)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
    if (sanitized)
        return "the real image does not run in a sanitizer build (its fault handler and the "
               "sanitizers' do not mix): use the host or host-release build";
    auto file = std::make_unique<ImageFile>();
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
        error = ReadSymbols(*file, symbols + ".sym");
    }
    if (error.empty()) {
        // A trial mapping: relocations and imports are checked here, once.
        Mapping trial;
        error = MapFile(*file, trial);
        if (error.empty())
            munmap(trial.Base, trial.Size);
    }
    if (!error.empty())
        return error.rfind(file->Path, 0) == 0 ? error : file->Path + ": " + error;
    StopUsingImage();
    TheFile = file.release();
    return "";
}

void StopUsingImage()
{
    UnmapImage();
    RemoveHandler();
    delete TheFile;
    TheFile = nullptr;
}

bool ImageInUse()
{
    return TheFile != nullptr;
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

const void *ImageThunk(std::string_view routine)
{
    for (size_t i = 0; i < ImportThunkCount; ++i)
        if (ImportThunks[i].Routine == routine)
            return ImportThunks[i].Entry;
    return nullptr;
}

ImageStackUse ImageStack()
{
    return ImageStackUse{Stack.Deepest, Stack.Routine};
}

} // namespace sim
