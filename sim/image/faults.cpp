// The image's faults and stack: the handler that catches code running in
// the discarded INIT section or in PAGE at DISPATCH_LEVEL, emulates a CR8
// access the loader could not place (placement.cpp) and records any other
// privileged instruction (the findings are made at the
// next kernel call, not in the handler), and the measure of the image's own
// frames at each kernel routine it calls and, in the stack pattern, at each
// return to the kernel.

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "image/loader.h"
#include "record.h"

namespace sim::detail
{

namespace
{

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
// CR8 accesses the handler emulated: the ones the loader could not place.
volatile size_t Trapped = 0;
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

// Only the miniport has a start-up section (the loader refuses one in the
// display driver's DLL); every mapped image's PAGE follows the IRQL.
void SetInit(bool open)
{
    if (Map.Init && open != Map.InitOpen) {
        mprotect(Map.Init, Map.InitSize, open ? Map.InitProtection : PROT_NONE);
        Map.InitOpen = open;
    }
}

void SetPage(bool open)
{
    for (const MappedImage &image : MappedImages) {
        Mapping &map = *image.Map;
        if (map.Page && open != map.PageOpen) {
            mprotect(map.Page, map.PageSize, open ? map.PageProtection : PROT_NONE);
            map.PageOpen = open;
        }
    }
}

} // namespace

void EmulateControlRegisterEight(bool write, uint64_t &value)
{
    Thread *thread = CurrentThread();
    if (!write) {
        value = thread->Irql;
        return;
    }
    thread->Irql = (KIRQL)(value & 15);
    SetPage(thread->Irql < DISPATCH_LEVEL);
}

namespace
{

// The mapping whose closed PAGE holds address, or null.
Mapping *ClosedPageAt(uintptr_t address)
{
    for (const MappedImage &image : MappedImages) {
        Mapping &map = *image.Map;
        if (!map.PageOpen && Within(address, map.Page, map.PageSize))
            return &map;
    }
    return nullptr;
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
        uint64_t raw = (uint64_t)value;
        EmulateControlRegisterEight(rip[at + 1] == 0x22, raw);
        value = (greg_t)raw;
        Trapped = Trapped + 1;
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
    if (K && (Map.Base || DisplayMap.Base)) {
        if (!Map.InitOpen && Within(address, Map.Init, Map.InitSize)) {
            Record(FaultKind::Init, 0, rip);
            SetInit(true);
            return;
        }
        if (ClosedPageAt(address)) {
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
            bool display = rip >= DisplayBegin && rip < DisplayEnd;
            char text[160];
            int n = snprintf(
                text, sizeof text, "kvrsim: the %s faulted at image+0x%zx, touching %#zx\n",
                display ? "display driver's image" : "image",
                (size_t)(rip - (display ? DisplayBegin : ImageBegin)), (size_t)address);
            if (n > 0 && write(2, text, (size_t)n) < 0)
                n = 0;
        }
    }
    // Not the image's: the fault the process would have had without us.
    sigaction(signal, &PreviousAction, nullptr);
}

} // namespace

void InstallHandler()
{
    if (HandlerInstalled)
        return;
    // The handler runs on a stack of its own: on the image's, its frame
    // would show in the pattern below the image's frames as if the image's.
    static uint8_t handlerStack[64 * 1024];
    stack_t own{};
    own.ss_sp = handlerStack;
    own.ss_size = sizeof handlerStack;
    sigaltstack(&own, nullptr);
    struct sigaction action {
    };
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
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

namespace
{

const Procedure *ProcedureAt(uintptr_t address)
{
    const ImageFile *file = nullptr;
    uintptr_t base = 0;
    for (const MappedImage &image : MappedImages)
        if (*image.File && Within(address, image.Map->Base, image.Map->Size)) {
            file = *image.File;
            base = (uintptr_t)image.Map->Base;
        }
    if (!file)
        return nullptr;
    uint32_t rva = (uint32_t)(address - base);
    const std::vector<Procedure> &list = file->Procedures;
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
    std::string Where; // "at a call of R", or "in R, seen as it returned"
    bool Reported = false;
    std::set<std::string> InitReported; // routines, once each
    std::set<std::string> PageReported;
};
StackRecord Stack;

} // namespace

void ForgetImageFaults()
{
    FaultCount = 0;
    Trapped = 0;
    Stack = StackRecord{};
}

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
    if (!Map.Base && !DisplayMap.Base)
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

namespace
{

void NoteImageStack(size_t used, const std::string &where)
{
    if (used <= Stack.Deepest)
        return;
    Stack.Deepest = used;
    Stack.Where = where;
    if (used > ImageStackBudget && !Stack.Reported) {
        Stack.Reported = true;
        Guard guard;
        Violate("the image's frames take " + std::to_string(used) + " bytes of stack " + where +
                ", over the budget of " + std::to_string(ImageStackBudget) +
                " bytes of the 24 KiB kernel stack");
    }
}

} // namespace

void KernelCalledFromImage(size_t thunk)
{
    Thread *thread = CurrentThread();
    if (thread->Cross.Top) {
        uintptr_t bottom = kvrsim_image_caller + 8;
        size_t used = thread->ImageUsedOutside +
                      (thread->Cross.Top > bottom ? thread->Cross.Top - bottom : 0);
        thread->ImageUseAtCall = used;
        if (used > Stack.Deepest) [[unlikely]]
            NoteImageStack(used, std::string("at a call of ") + ImportThunks[thunk].Routine);
    }
    if (FaultCount) [[unlikely]]
        ReportImageFaults();
}

// The pattern the crossing left below the image's first frame, scanned as the
// image returns to the kernel: its deepest frames, also those of routines
// that called no kernel routine.
void ImageStackAtReturn(const void *routine, size_t used, bool whole)
{
    if (used > Stack.Deepest) [[unlikely]]
        NoteImageStack(used, std::string(whole ? "or more " : "") + "in " +
                                 ImageRoutineName(routine) + ", seen as it returned");
}

// A thread stopped while in the image (the kernel's end): the same scan of
// its innermost crossing's area, which its kernel calls left alone.
void ImageStackOfStoppedThread(const Thread &thread)
{
    if (!thread.Cross.Top)
        return;
    const uint64_t *word = (const uint64_t *)(thread.Cross.Top - thread.Cross.Fill);
    const uint64_t *end = (const uint64_t *)thread.Cross.Top;
    while (word < end && *word == StackFillWord)
        ++word;
    size_t used = thread.ImageUsedOutside + (size_t)(thread.Cross.Top - (uintptr_t)word);
    if (used > Stack.Deepest) [[unlikely]]
        NoteImageStack(used,
                       std::string(word == (const uint64_t *)(thread.Cross.Top - thread.Cross.Fill)
                                       ? "or more "
                                       : "") +
                           "in " + ImageRoutineName((const void *)thread.StartRoutine) +
                           ", seen as its thread was stopped");
}

void ReturningToImage()
{
    Thread *thread = CurrentThread();
    SetImageCallStack(thread->Cross);
    bool init = !K->DriverEntryReturned.load(std::memory_order_relaxed);
    bool page = thread->Irql < DISPATCH_LEVEL;
    if (init != Map.InitOpen) [[unlikely]]
        SetInit(init);
    if (page != Map.PageOpen) [[unlikely]]
        SetPage(page);
}

} // namespace sim::detail

using namespace sim::detail;

namespace sim
{

ImageStackUse ImageStack()
{
    return ImageStackUse{Stack.Deepest, Stack.Where};
}

size_t ImageTrappedAccesses()
{
    return Trapped;
}

} // namespace sim
