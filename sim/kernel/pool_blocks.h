// What the pool's files share of a block: its guard bytes and their check,
// and the pool's log.

#ifndef KVR_SIM_KERNEL_POOL_BLOCKS_H
#define KVR_SIM_KERNEL_POOL_BLOCKS_H

#include <cstring>

#include "record.h"

namespace sim::detail
{

constexpr uint8_t GuardFill = 0x6B; // behind every block
#ifdef KVR_SIM_ASAN
constexpr size_t GuardBytes = 0;
#else
constexpr size_t GuardBytes = 16;
#endif
// The guard before a block (the block's address is the allocation's plus this).
constexpr size_t FrontBytes = GuardBytes;

// The rules (pool_rules.cpp). A tag of one to four characters from 0x20 to
// 0x7E; the findings of an allocation or free that is not the usual one,
// false when no block is allocated or freed.
bool ValidTag(ULONG tag);
bool CheckAllocation(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, KIRQL irql);
bool CheckFree(PVOID P, ULONG Tag, KIRQL irql, const PoolBlock *found);
// Reports the first guard byte that is not intact.
void ReportGuard(const uint8_t *guard, const PoolBlock &block);

// The guard compared in two words; the byte-by-byte search runs only to report.
inline void CheckGuard(const void *address, const PoolBlock &block)
{
    static_assert(GuardBytes == 0 || GuardBytes == 2 * sizeof(uint64_t));
    if constexpr (GuardBytes != 0) {
        constexpr uint64_t Intact = 0x0101010101010101ull * GuardFill;
        const auto *guard = static_cast<const uint8_t *>(address) + block.Bytes;
        uint64_t words[4];
        memcpy(words, guard, 2 * sizeof(uint64_t));
        memcpy(words + 2, static_cast<const uint8_t *>(address) - FrontBytes, 2 * sizeof(uint64_t));
        if ((words[0] ^ Intact) | (words[1] ^ Intact) | (words[2] ^ Intact) | (words[3] ^ Intact))
            ReportGuard(guard, block);
    }
}

// Appends to the pool's log (pool.cpp).
void AppendLog(bool free, POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *address,
               bool failed);

inline void Log(bool free, POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *address,
                bool failed)
{
    if (K->Opt.PoolLog) [[unlikely]]
        AppendLog(free, type, bytes, tag, address, failed);
}

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_POOL_BLOCKS_H
