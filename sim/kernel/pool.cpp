// Pool: tagged allocations with per-tag accounting, injected failures and
// freed-block checks.
//
// A freed block is poisoned and held back for a while before its memory is
// used again, so that a second free of it is recognised as such and a read
// through a stale pointer sees the poison (or, under AddressSanitizer, is
// reported).
//
// The memory of blocks is kept for reuse, by size: a block that leaves the
// held-back line (and, under AddressSanitizer, whose own quarantine then
// takes it, only a block of a kernel that is gone) waits, still poisoned,
// for the next allocation of its size. The block table is one array with
// open addressing (address_table.h), so that a steady run calls the C
// library's allocator not at all.
//
// Every block is preceded and followed by guard bytes of a known pattern,
// checked when the block is freed and, for blocks still allocated, at
// teardown: a write before the start or past the end of a block is a finding
// even without AddressSanitizer (whose own redzones report it at the write,
// so its builds add no guard), as Driver Verifier's special pool finds it on
// Windows. A freed block's poison is checked when it leaves the held-back
// line and at teardown: a write into a freed block is a finding too.

#include <algorithm>
#include <cstdlib>

#include "record.h"
#include "kernel/pool_blocks.h"
#include "kernel/text_steps.h"

#ifdef KVR_SIM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim::detail
{

namespace
{

constexpr size_t QuarantineBlocks = sim::PoolHeldBackBlocks;
constexpr uint8_t FreshFill = 0xA5; // new blocks are not zeroed on the platform
constexpr uint8_t FreedFill = 0xDF; // freed blocks

} // namespace

__attribute__((noinline)) void AppendLog(bool free, POOL_TYPE type, SIZE_T bytes, ULONG tag,
                                         const void *address, bool failed)
{
    K->PoolLog.push_back(PoolEvent{CurrentTime(), free, type, bytes, tag, address, failed});
}

namespace
{

void Poison(void *address, size_t bytes)
{
    memset(address, FreedFill, bytes ? bytes : 1);
#ifdef KVR_SIM_ASAN
    __asan_poison_memory_region(address, bytes ? bytes : 1);
#endif
}

void Unpoison(void *address, size_t bytes)
{
#ifdef KVR_SIM_ASAN
    __asan_unpoison_memory_region(address, bytes ? bytes : 1);
#else
    (void)address;
    (void)bytes;
#endif
}

void SetGuard(void *address, SIZE_T bytes)
{
    memset(static_cast<uint8_t *>(address) - FrontBytes, GuardFill, FrontBytes);
    memset(static_cast<uint8_t *>(address) + bytes, GuardFill, GuardBytes);
}

bool InjectedFailure(ULONG tag)
{
    Kernel *k = K;
    uint64_t sequence = ++k->AllocationSequence;
    if (!k->FailNextAllocations && k->FailAllocationAt.empty() && k->FailTags.empty())
        return false;
    bool fail = false;
    if (k->FailNextAllocations) {
        k->FailNextAllocations--;
        fail = true;
    }
    if (k->FailAllocationAt.erase(sequence))
        fail = true;
    if (k->FailTags.count(tag))
        fail = true;
    return fail;
}

// --- Reused memory ---------------------------------------------------------

// Blocks of up to this many bytes (guard included) are kept for reuse; the
// driver's are far smaller. Larger ones go back to the C library.
constexpr size_t SpareSizeLimit = 1024;
// At most this many are kept, so that memory stays bounded after a burst.
constexpr size_t SpareBlockLimit = 16384;

struct Spares {
    std::vector<void *> BySize[SpareSizeLimit + 1];
    size_t Count = 0;
};

// Process-wide: blocks of a kernel that is gone are reused by the next one.
// Never destroyed (the memory stays reachable for leak checkers).
Spares *TheSpares = nullptr;

Spares &SpareMemory()
{
    if (!TheSpares) [[unlikely]]
        TheSpares = new Spares;
    return *TheSpares;
}

size_t AllocationSize(SIZE_T bytes)
{
    return FrontBytes + (bytes ? bytes : 1) + GuardBytes;
}

// A block of that size from the kept ones, or the C library's.
void *NewBlock(SIZE_T bytes)
{
    size_t size = AllocationSize(bytes);
    Spares &spares = SpareMemory();
    if (size <= SpareSizeLimit && !spares.BySize[size].empty()) {
        void *address = spares.BySize[size].back();
        spares.BySize[size].pop_back();
        spares.Count--;
        Unpoison(address, bytes);
        return address;
    }
    void *memory = malloc(size);
    return memory ? static_cast<uint8_t *>(memory) + FrontBytes : nullptr;
}

[[gnu::noinline]] void FreeBlock(void *address, SIZE_T bytes)
{
    Unpoison(address, bytes);
    free(static_cast<uint8_t *>(address) - FrontBytes);
}

// Keeps a freed block's memory (poisoned) for reuse, or frees it.
[[gnu::always_inline]] inline void KeepBlock(void *address, SIZE_T bytes)
{
    size_t size = AllocationSize(bytes);
    Spares &spares = SpareMemory();
    if (size <= SpareSizeLimit && spares.Count < SpareBlockLimit) {
        spares.BySize[size].push_back(address);
        spares.Count++;
        return;
    }
    FreeBlock(address, bytes);
}

// Reports a freed block whose poison was overwritten: something wrote into it
// after it was freed (without AddressSanitizer, which reports the write).
inline void CheckFreed(const void *address, const PoolBlock &block)
{
    if constexpr (GuardBytes != 0) {
        const auto *bytes = static_cast<const uint8_t *>(address);
        // The byte loop names the first byte that differs, from the first
        // word that differs (text_steps.h).
        size_t i = FilledLeadingWords(bytes, block.Bytes, FreedFill);
        for (; i < block.Bytes; ++i) {
            if (bytes[i] != FreedFill) [[unlikely]] {
                ViolateWith([&block, i] {
                    return "pool block of tag '" + TagText(block.Tag) + "', " +
                           std::to_string(block.Bytes) +
                           " bytes, written after it was freed (byte " + std::to_string(i) + ")";
                });
                return;
            }
        }
    }
}

// A block that leaves the held-back line.
void ReleaseBlock(void *address, SIZE_T bytes)
{
#ifdef KVR_SIM_ASAN
    // AddressSanitizer's own quarantine keeps reporting stale reads for long
    // after this one; only a kernel's teardown hands blocks over for reuse.
    Unpoison(address, bytes);
    free(address);
#else
    KeepBlock(address, bytes);
#endif
}

// Statistics records of kernels that are gone, for the first use of a tag
// in the next (never destroyed).
constexpr size_t SpareStatsLimit = 64;

std::vector<decltype(Kernel::Stats)::node_type> &SpareStats()
{
    static auto *spares = new std::vector<decltype(Kernel::Stats)::node_type>;
    return *spares;
}

// The statistics record of a tag, found (made, zero, on its first use) and
// remembered as the last tag's.
[[gnu::noinline]] PoolStats &FindStats(ULONG tag)
{
    Kernel *k = K;
    auto found = k->Stats.find(tag);
    if (found == k->Stats.end()) {
        std::vector<decltype(Kernel::Stats)::node_type> &spares = SpareStats();
        if (spares.empty()) {
            found = k->Stats.emplace(tag, PoolStats{}).first;
        } else {
            decltype(Kernel::Stats)::node_type record = std::move(spares.back());
            spares.pop_back();
            record.key() = tag;
            record.mapped() = PoolStats{};
            found = k->Stats.insert(std::move(record)).position;
        }
    }
    k->LastStats = &found->second;
    k->LastStatsTag = tag;
    return found->second;
}

// The statistics record of a tag: the last tag's, remembered, in the usual
// run of one tag.
inline PoolStats &StatsOf(ULONG tag)
{
    Kernel *k = K;
    if (k->LastStats && k->LastStatsTag == tag) [[likely]]
        return *k->LastStats;
    return FindStats(tag);
}

inline void AccountAllocation(PoolStats &stats, SIZE_T bytes)
{
    stats.Allocations++;
    stats.OutstandingCount++;
    stats.OutstandingBytes += bytes;
    stats.TotalBytes += bytes;
    stats.PeakBytes = std::max(stats.PeakBytes, stats.OutstandingBytes);
    stats.PeakCount = std::max(stats.PeakCount, stats.OutstandingCount);
}

inline void AccountFree(PoolStats &stats, SIZE_T bytes)
{
    stats.Frees++;
    stats.OutstandingCount--;
    stats.OutstandingBytes -= bytes;
}

// Paged or nonpaged pool with a valid tag, at an IRQL where that type may be
// allocated: nothing to report.
inline bool UsualAllocation(POOL_TYPE type, ULONG tag, KIRQL irql)
{
    Kernel *k = K;
    if (tag != k->LastValidTag) {
        if (!ValidTag(tag))
            return false;
        k->LastValidTag = tag;
    }
    return type == NonPagedPool ? irql <= DISPATCH_LEVEL
                                : type == PagedPool && irql < DISPATCH_LEVEL;
}

} // namespace

void ReleaseAllPool()
{
    Kernel *k = K;
    k->Blocks.ForEach([](const void *address, const PoolBlock &block) {
        Poison(const_cast<void *>(address), block.Bytes);
        KeepBlock(const_cast<void *>(address), block.Bytes);
    });
    k->Blocks.Clear();
    for (auto &[address, block] : k->Quarantine)
        KeepBlock(address, block.Bytes);
    k->Quarantine.clear();
    k->QuarantineOldest = 0;
    // The statistics records too: the kernel is going.
    k->LastStats = nullptr;
    std::vector<decltype(Kernel::Stats)::node_type> &spares = SpareStats();
    while (!k->Stats.empty() && spares.size() < SpareStatsLimit)
        spares.push_back(k->Stats.extract(k->Stats.begin()));
}

void CheckPoolAtTeardown()
{
    std::map<ULONG, std::pair<uint64_t, uint64_t>> leaked;
    K->Blocks.ForEach([&leaked](const void *address, const PoolBlock &block) {
        CheckGuard(address, block);
        if (K->SurvivingTags.count(block.Tag))
            return;
        leaked[block.Tag].first++;
        leaked[block.Tag].second += block.Bytes;
    });
    for (auto &[address, block] : K->Quarantine)
        CheckFreed(address, block);
    for (auto &[tag, amount] : leaked)
        Violate("pool leaked at teardown: tag '" + TagText(tag) + "', " +
                std::to_string(amount.first) + " block(s), " + std::to_string(amount.second) +
                " bytes");
}

} // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim
{

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

PoolStats PoolStatsForTag(ULONG tag)
{
    HarnessEntry();
    Guard guard;
    auto found = K->Stats.find(tag);
    return found == K->Stats.end() ? PoolStats{} : found->second;
}

PoolStats PoolTotals()
{
    HarnessEntry();
    Guard guard;
    return K->Totals;
}

std::vector<std::pair<ULONG, PoolStats>> PoolStatsByTag()
{
    HarnessEntry();
    Guard guard;
    std::vector<std::pair<ULONG, PoolStats>> list(K->Stats.begin(), K->Stats.end());
    std::sort(list.begin(), list.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    return list;
}

void FailNextAllocations(unsigned n)
{
    HarnessEntry();
    Guard guard;
    K->FailNextAllocations = n;
}

void FailAllocationAt(unsigned nth)
{
    HarnessEntry();
    Guard guard;
    if (nth)
        K->FailAllocationAt.insert(K->AllocationSequence + nth);
}

void FailAllocationsOfTag(ULONG tag, bool fail)
{
    HarnessEntry();
    Guard guard;
    if (fail)
        K->FailTags.insert(tag);
    else
        K->FailTags.erase(tag);
}

void ClearPoolFaults()
{
    HarnessEntry();
    Guard guard;
    K->FailNextAllocations = 0;
    K->FailAllocationAt.clear();
    K->FailTags.clear();
}

const std::vector<PoolEvent> &PoolLog()
{
    HarnessEntry();
    return K->PoolLog;
}

} // namespace sim

namespace
{
// What the interleaving explorer orders pool calls: the pool is one object (allocations decide
// one another's addresses).
const char PoolObject = 0;
} // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    EnsureKernelFor(&PoolObject);
    KVR_SIM_CHECK_CALLER("ExAllocatePoolWithTag");
    Kernel *k = K;
    Guard guard;
    KIRQL irql = CurrentThread()->Irql;
    if (!UsualAllocation(PoolType, Tag, irql) &&
        !CheckAllocation(PoolType, NumberOfBytes, Tag, irql))
        return nullptr;
    PoolStats &stats = StatsOf(Tag);
    if (InjectedFailure(Tag)) {
        stats.FailedAllocations++;
        k->Totals.FailedAllocations++;
        Log(false, PoolType, NumberOfBytes, Tag, nullptr, true);
        return nullptr;
    }
    void *address = NewBlock(NumberOfBytes);
    if (!address)
        return nullptr;
    memset(address, FreshFill, NumberOfBytes);
    SetGuard(address, NumberOfBytes);
    k->Blocks.Add(address, PoolBlock{NumberOfBytes, Tag, PoolType});
    AccountAllocation(stats, NumberOfBytes);
    AccountAllocation(k->Totals, NumberOfBytes);
    Log(false, PoolType, NumberOfBytes, Tag, address, false);
    return address;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    EnsureKernelFor(&PoolObject);
    KVR_SIM_CHECK_CALLER("ExFreePoolWithTag");
    Kernel *k = K;
    Guard guard;
    KIRQL irql = CurrentThread()->Irql;
    // The block leaves the table before any finding is reported (an observer
    // of findings may allocate).
    PoolBlock *found = P ? k->Blocks.Find(P) : nullptr;
    if (!found) {
        CheckFree(P, Tag, irql, nullptr);
        return;
    }
    PoolBlock block = *found;
    k->Blocks.Remove(found);
    // Freed below DISPATCH_LEVEL with its tag or tag 0 (the DDK's ExFreePool
    // is ExFreePoolWithTag(P, 0) on these versions): only the guard bytes
    // remain to be checked.
    if (irql < DISPATCH_LEVEL && (Tag == 0 || Tag == block.Tag)) [[likely]]
        CheckGuard(P, block);
    else
        CheckFree(P, Tag, irql, &block);
    AccountFree(StatsOf(block.Tag), block.Bytes);
    AccountFree(k->Totals, block.Bytes);
    Log(true, block.Type, block.Bytes, block.Tag, P, false);
    Poison(P, block.Bytes);
    // The line is a ring: once full, the newest block takes the oldest's place.
    if (k->Quarantine.size() < QuarantineBlocks) {
        k->Quarantine.emplace_back(P, block);
    } else {
        auto &slot = k->Quarantine[k->QuarantineOldest];
        CheckFreed(slot.first, slot.second);
        ReleaseBlock(slot.first, slot.second.Bytes);
        slot = {P, block};
        k->QuarantineOldest = (k->QuarantineOldest + 1) % QuarantineBlocks;
    }
}

} // extern "C"
