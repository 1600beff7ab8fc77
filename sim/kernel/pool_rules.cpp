// What the verifier finds in a pool call that is not the usual one: the pool
// types Vista and 7 know, tags, the IRQL, frees of what is not a block or
// with another tag, guard bytes overwritten, and a buffer that runs past its
// block.

#include <algorithm>

#include "kernel/pool_blocks.h"
#include "record.h"

namespace sim::detail
{

// Reports the first guard byte that is not intact.
__attribute__((noinline)) void ReportGuard(const uint8_t *guard, const PoolBlock &block)
{
    const uint8_t *front = guard - block.Bytes - FrontBytes;
    for (size_t i = FrontBytes; i-- > 0;) {
        if (front[i] != GuardFill) {
            Violate("pool block of tag '" + TagText(block.Tag) + "', " +
                    std::to_string(block.Bytes) + " bytes, written before its start (byte -" +
                    std::to_string(FrontBytes - i) + ")");
            return;
        }
    }
    for (size_t i = 0; i < GuardBytes; ++i) {
        if (guard[i] != GuardFill) {
            Violate("pool block of tag '" + TagText(block.Tag) + "', " +
                    std::to_string(block.Bytes) + " bytes, written past its end (byte " +
                    std::to_string(block.Bytes + i) + ")");
            return;
        }
    }
}

// The pool types a driver may pass on Vista and 7, with the modifiers that
// ExAllocatePoolWithTag documents (POOL_RAISE_IF_ALLOCATION_FAILURE,
// POOL_COLD_ALLOCATION). NonPagedPoolNx (512) and its relatives exist from
// Windows 8 on only.
constexpr ULONG PoolRaiseIfAllocationFailure = 16;
constexpr ULONG PoolColdAllocation = 256;

enum class PoolTypeKind { Usable, MustSucceed, Reserved, Unknown };

PoolTypeKind Classify(POOL_TYPE type, ULONG *base)
{
    *base = (ULONG)type & ~(PoolRaiseIfAllocationFailure | PoolColdAllocation);
    switch (*base) {
    case 0: // NonPagedPool
    case 1: // PagedPool
        return PoolTypeKind::Usable;
    case 2:  // NonPagedPoolMustSucceed
    case 6:  // NonPagedPoolCacheAlignedMustS
    case 34: // NonPagedPoolMustSucceedSession
    case 38: // NonPagedPoolCacheAlignedMustSSession
        return PoolTypeKind::MustSucceed;
    case 3:  // DontUseThisType
    case 4:  // NonPagedPoolCacheAligned: internal use only
    case 5:  // PagedPoolCacheAligned: internal use only
    case 32: // the session types: deprecated
    case 33:
    case 35:
    case 36:
    case 37:
        return PoolTypeKind::Reserved;
    default:
        return PoolTypeKind::Unknown;
    }
}

std::string PoolTypeName(ULONG base)
{
    static const char *const names[] = {"NonPagedPool",
                                        "PagedPool",
                                        "NonPagedPoolMustSucceed",
                                        "DontUseThisType",
                                        "NonPagedPoolCacheAligned",
                                        "PagedPoolCacheAligned",
                                        "NonPagedPoolCacheAlignedMustS"};
    if (base < 7)
        return names[base];
    if (base >= 32 && base < 39)
        return std::string(names[base - 32]) + "Session";
    return std::to_string(base);
}

// A tag is a character literal of one to four characters, each from 0x20 to
// 0x7E; a shorter literal leaves its high bytes zero.
bool ValidTag(ULONG tag)
{
    if (tag == 0)
        return false;
    for (int i = 0; i < 4; ++i) {
        uint8_t c = (uint8_t)(tag >> (8 * i));
        if (c != 0 && (c < 0x20 || c > 0x7E))
            return false;
    }
    return true;
}

bool Paged(POOL_TYPE type)
{
    return ((ULONG)type & 1) != 0;
}

// Every other allocation: its findings. False when the platform stops
// instead of returning (no block comes back).
__attribute__((noinline)) bool CheckAllocation(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                               KIRQL irql)
{
    ULONG base = 0;
    switch (Classify(PoolType, &base)) {
    case PoolTypeKind::Usable:
        break;
    case PoolTypeKind::MustSucceed:
        Violate("ExAllocatePoolWithTag with " + PoolTypeName(base) + " (tag '" + TagText(Tag) +
                "'): for the system's start-up only; it stops the system when the memory is "
                "not there");
        break;
    case PoolTypeKind::Reserved:
        Violate("ExAllocatePoolWithTag with " + PoolTypeName(base) + " (tag '" + TagText(Tag) +
                "'): reserved for the system or deprecated");
        break;
    case PoolTypeKind::Unknown:
        // The platform stops with BAD_POOL_CALLER: no block comes back.
        Violate("ExAllocatePoolWithTag with pool type " + std::to_string((ULONG)PoolType) +
                " (tag '" + TagText(Tag) + "'), unknown " + OnTarget() +
                ": BAD_POOL_CALLER stops the system");
        Log(false, PoolType, NumberOfBytes, Tag, nullptr, true);
        return false;
    }
    if (!ValidTag(Tag))
        Violate("ExAllocatePoolWithTag with tag 0x" + Hex(&Tag, sizeof Tag) +
                ": a tag is one to four characters from 0x20 to 0x7E");
    if (irql > DISPATCH_LEVEL)
        Violate("ExAllocatePoolWithTag above DISPATCH_LEVEL");
    else if (Paged(PoolType) && irql >= DISPATCH_LEVEL)
        Violate("paged pool allocated at DISPATCH_LEVEL (tag '" + TagText(Tag) + "')");
    return true;
}

// Every other free: its findings, in the order the checks are made. False
// when there is no block to free (found is null).
__attribute__((noinline)) bool CheckFree(PVOID P, ULONG Tag, KIRQL irql, const PoolBlock *found)
{
    if (irql > DISPATCH_LEVEL)
        Violate("ExFreePoolWithTag above DISPATCH_LEVEL");
    if (!P) {
        Violate("ExFreePoolWithTag of a null pointer");
        return false;
    }
    if (!found) {
        if (StackPattern(P)) {
            Violate("ExFreePoolWithTag of " + Hex(&P, sizeof P) +
                    ", the stack pattern: a local pointer read before it was written");
            return false;
        }
        const auto &line = K->Quarantine;
        bool freed = std::any_of(line.begin(), line.end(),
                                 [P](const auto &entry) { return entry.first == P; });
        if (freed)
            Violate("pool block freed twice");
        else
            Violate("ExFreePoolWithTag of an address that is not a pool block");
        return false;
    }
    CheckGuard(P, *found);
    if (Paged(found->Type) && irql == DISPATCH_LEVEL)
        Violate("paged pool block (tag '" + TagText(found->Tag) +
                "') freed at DISPATCH_LEVEL: only nonpaged blocks may be freed there");
    // Tag 0 frees a block of any tag.
    if (Tag != 0 && Tag != found->Tag)
        Violate("pool block of tag '" + TagText(found->Tag) + "' freed with tag '" + TagText(Tag) +
                "'");
    return true;
}

void CheckWithinPoolBlock(const char *what, const void *address, size_t length)
{
    if (!address || !length)
        return;
    const PoolBlock *block = K->Blocks.Find(address);
    if (block && length > block->Bytes) [[unlikely]]
        ViolateWith([what, length, block] {
            return std::string(what) + " of " + std::to_string(length) +
                   " bytes runs past the end of its pool block of tag '" + TagText(block->Tag) +
                   "', " + std::to_string(block->Bytes) + " bytes";
        });
}

} // namespace sim::detail
