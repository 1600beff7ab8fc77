// The pool's internals: the blocks outstanding and held back, the per-tag
// records, the injected failures, and the pool's part of the record.

#ifndef KVR_SIM_KERNEL_POOL_H
#define KVR_SIM_KERNEL_POOL_H

#include <set>
#include <unordered_map>
#include <vector>

#include "kernel/address_table.h"
#include "sim.h"

namespace sim::detail
{

struct PoolBlock {
    SIZE_T Bytes;
    ULONG Tag;
    POOL_TYPE Type;
};

struct PoolState {
    AddressTable<PoolBlock> Blocks; // outstanding blocks by address
    // Freed blocks held back, a ring once full: its oldest at QuarantineOldest.
    std::vector<std::pair<void *, PoolBlock>> Quarantine;
    size_t QuarantineOldest = 0;
    std::unordered_map<ULONG, PoolStats> Stats;
    ULONG LastStatsTag = 0; // and its record, for the usual run of one tag
    PoolStats *LastStats = nullptr;
    ULONG LastValidTag = 0; // the last tag found valid (0 is not)
    PoolStats Totals;
    uint64_t AllocationSequence = 0;
    unsigned FailNextAllocations = 0;
    std::set<uint64_t> FailAllocationAt;
    std::set<ULONG> FailTags;
    std::vector<PoolEvent> PoolLog;
};

// A finding when a buffer that starts a pool block runs past its end.
void CheckWithinPoolBlock(const char *what, const void *address, size_t length);
void ReleaseAllPool();
void CheckPoolAtTeardown();

} // namespace sim::detail

#endif // KVR_SIM_KERNEL_POOL_H
