// EngAllocMem and EngFreeMem: the display driver's memory, tracked block by
// block so that a block left at DrvDisablePDEV is a finding.

#include "record.h"

using namespace sim::detail;

namespace
{

// What a block holds when the driver did not ask for zeroes: the page says
// it comes uninitialised, so the engine fills it with a pattern a driver
// that relies on zeroes trips over.
constexpr uint8_t UninitialisedFill = 0xC5;
constexpr ULONG KnownAllocFlags = FL_ZERO_MEMORY | FL_NONPAGED_MEMORY;

} // namespace

extern "C" {

PVOID EngAllocMem(ULONG Flags, ULONG MemSize, ULONG Tag)
{
    EnsureKernelForThread();
    Guard guard;
    if (Flags & ~KnownAllocFlags) {
        Violate("EngAllocMem with flags 0x" + Hex(&Flags, sizeof Flags) +
                ": only FL_ZERO_MEMORY and FL_NONPAGED_MEMORY are defined");
        return nullptr;
    }
    if (MemSize == 0)
        return nullptr;
    GdiAllocation allocation;
    allocation.Size = MemSize;
    allocation.Tag = Tag;
    allocation.Bytes.reset(new uint8_t[MemSize]);
    memset(allocation.Bytes.get(), Flags & FL_ZERO_MEMORY ? 0 : UninitialisedFill, MemSize);
    PVOID block = allocation.Bytes.get();
    K->Allocations.emplace(block, std::move(allocation));
    return block;
}

void EngFreeMem(PVOID Mem)
{
    EnsureKernelForThread();
    Guard guard;
    auto found = K->Allocations.find(Mem);
    if (found == K->Allocations.end()) {
        Violate(Mem ? "EngFreeMem of memory EngAllocMem did not allocate, or freed already"
                    : "EngFreeMem(NULL)");
        return;
    }
    K->Allocations.erase(found);
}

} // extern "C"
