// Pool: per-tag accounting, injected failures, and the verifier's checks of
// frees, pool types and leaks.

#include "sim.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

constexpr ULONG PathTag = sim::Tag("sger");
constexpr ULONG FileTag = sim::Tag("ffub");

class Pool : public ::testing::Test
{
  protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { sim::Shutdown(); }
};

TEST_F(Pool, TagsAreTheFourBytesInMemoryOrder)
{
    EXPECT_EQ(FileTag, 0x62756666u);
    EXPECT_EQ(PathTag, 0x72656773u);
    EXPECT_EQ(sim::TagText(0x206B6444), "Ddk ");
}

TEST_F(Pool, AccountingPerTag)
{
    void *a = ExAllocatePoolWithTag(PagedPool, 96, PathTag);
    void *b = ExAllocatePoolWithTag(PagedPool, 130, PathTag);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 200, FileTag);
    ASSERT_TRUE(a && b && c);
    ExFreePoolWithTag(a, 0);
    sim::PoolStats paths = sim::PoolStatsForTag(PathTag);
    EXPECT_EQ(paths.Allocations, 2u);
    EXPECT_EQ(paths.Frees, 1u);
    EXPECT_EQ(paths.OutstandingCount, 1u);
    EXPECT_EQ(paths.OutstandingBytes, 130u);
    EXPECT_EQ(paths.TotalBytes, 226u);
    EXPECT_EQ(paths.PeakBytes, 226u);
    EXPECT_EQ(paths.PeakCount, 2u);
    EXPECT_EQ(sim::PoolTotals().OutstandingBytes, 330u);
    auto byTag = sim::PoolStatsByTag();
    ASSERT_EQ(byTag.size(), 2u);
    EXPECT_EQ(byTag[0].first, FileTag);
    ExFreePoolWithTag(b, PathTag);
    ExFreePoolWithTag(c, FileTag);
    EXPECT_EQ(sim::PoolTotals().OutstandingCount, 0u);
    EXPECT_TRUE(sim::Shutdown().empty());

    // The next kernel counts from zero, and only the tags it uses.
    sim::Reset();
    EXPECT_TRUE(sim::PoolStatsByTag().empty());
    void *d = ExAllocatePoolWithTag(PagedPool, 8, FileTag);
    ASSERT_TRUE(d);
    paths = sim::PoolStatsForTag(FileTag);
    EXPECT_EQ(paths.Allocations, 1u);
    EXPECT_EQ(paths.Frees, 0u);
    EXPECT_EQ(paths.TotalBytes, 8u);
    EXPECT_EQ(paths.PeakBytes, 8u);
    EXPECT_EQ(paths.PeakCount, 1u);
    EXPECT_EQ(sim::PoolStatsForTag(PathTag).Allocations, 0u);
    ASSERT_EQ(sim::PoolStatsByTag().size(), 1u);
    ExFreePoolWithTag(d, FileTag);
    EXPECT_TRUE(sim::Shutdown().empty());
}

TEST_F(Pool, InjectedFailures)
{
    sim::FailNextAllocations(2);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, PathTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, PathTag), nullptr);
    void *ok = ExAllocatePoolWithTag(PagedPool, 8, PathTag);
    EXPECT_NE(ok, nullptr);
    ExFreePoolWithTag(ok, 0);

    sim::FailAllocationAt(3); // the third from now
    void *first = ExAllocatePoolWithTag(PagedPool, 8, PathTag);
    void *second = ExAllocatePoolWithTag(PagedPool, 8, PathTag);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, PathTag), nullptr);
    void *fourth = ExAllocatePoolWithTag(PagedPool, 8, PathTag);
    EXPECT_TRUE(first && second && fourth);

    sim::FailAllocationsOfTag(FileTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 200, FileTag), nullptr);
    void *other = ExAllocatePoolWithTag(PagedPool, 8, PathTag);
    EXPECT_NE(other, nullptr);
    sim::ClearPoolFaults();
    void *file = ExAllocatePoolWithTag(NonPagedPool, 200, FileTag);
    EXPECT_NE(file, nullptr);

    EXPECT_EQ(sim::PoolStatsForTag(PathTag).FailedAllocations, 3u);
    EXPECT_EQ(sim::PoolStatsForTag(FileTag).FailedAllocations, 1u);
    for (void *block : {first, second, fourth, other, file})
        ExFreePoolWithTag(block, 0);
    EXPECT_TRUE(sim::Shutdown().empty());
}

TEST_F(Pool, BadFreesAreViolations)
{
    void *block = ExAllocatePoolWithTag(PagedPool, 16, PathTag);
    ExFreePoolWithTag(block, FileTag); // wrong non-zero tag
    ExFreePoolWithTag(block, 0);       // freed again
    int local = 0;
    ExFreePoolWithTag(&local, 0); // never allocated
    const auto &found = sim::Violations();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NE(found[0].Text.find("freed with tag 'ffub'"), std::string::npos);
    EXPECT_NE(found[1].Text.find("freed twice"), std::string::npos);
    EXPECT_NE(found[2].Text.find("not a pool block"), std::string::npos);
}

// Freed blocks are held back in a line of 4,096: a second free of one is
// recognised as such until 4,096 later frees have pushed it out.
TEST_F(Pool, SecondFreeIsRecognisedWhileTheBlockIsHeldBack)
{
    constexpr int Line = 4096;
    std::vector<void *> blocks;
    for (int i = 0; i < 2 * Line + 2; ++i)
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 24, PathTag));
    // Around the line once, so that the blocks below go in where others left.
    for (int i = 0; i < Line; ++i)
        ExFreePoolWithTag(blocks[Line + 2 + i], 0);
    void *first = blocks[0];
    void *second = blocks[1];
    ExFreePoolWithTag(first, 0);
    ExFreePoolWithTag(second, 0);
    for (int i = 2; i < Line; ++i)
        ExFreePoolWithTag(blocks[i], 0);
    EXPECT_TRUE(sim::Violations().empty());
    ExFreePoolWithTag(first, 0); // the oldest of the line
    ExFreePoolWithTag(blocks[Line], 0);
    ExFreePoolWithTag(blocks[Line + 1], 0); // pushes the first two out
    ExFreePoolWithTag(second, 0);
    const auto &found = sim::Violations();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(found[0].Text.find("freed twice"), std::string::npos);
    EXPECT_NE(found[1].Text.find("not a pool block"), std::string::npos);
    EXPECT_EQ(sim::PoolTotals().OutstandingCount, 0u);
}

// Memory of freed blocks is used again, as new blocks: filled afresh.
TEST_F(Pool, ReusedMemoryIsANewBlock)
{
    for (int i = 0; i < 4200; ++i) {
        auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 40, PathTag));
        ASSERT_NE(block, nullptr);
        for (int j = 0; j < 40; ++j)
            ASSERT_EQ(block[j], 0xA5) << "block " << i << " byte " << j;
        memset(block, 0x11, 40);
        ExFreePoolWithTag(block, 0);
    }
    EXPECT_TRUE(sim::Violations().empty());
    EXPECT_EQ(sim::PoolStatsForTag(PathTag).Allocations, 4200u);
}

#if defined(__SANITIZE_ADDRESS__)
#define KVR_POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVR_POOL_TEST_ASAN 1
#endif
#endif

#ifndef KVR_POOL_TEST_ASAN
// Without AddressSanitizer (which reports such a write where it happens) the
// guard bytes behind each block catch a write past its end: when the block is
// freed, or at teardown for a block kept for good.
TEST_F(Pool, WritesPastTheEndAreViolations)
{
    auto *scratch = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 200, PathTag));
    auto *kept = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, 200, FileTag));
    auto *clean = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 7, PathTag));
    ASSERT_TRUE(scratch && kept && clean);
    memset(clean, 0, 7); // up to the last byte: no finding
    ExFreePoolWithTag(clean, 0);
    EXPECT_TRUE(sim::Violations().empty());

    scratch[200] = 0;
    scratch[201] = 0;
    ExFreePoolWithTag(scratch, 0);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_EQ(sim::Violations()[0].Text,
              "pool block of tag 'sger', 200 bytes, written past its end (byte 200)");

    kept[215] = 1;
    sim::ExpectSurvivingPool(FileTag);
    std::vector<sim::Violation> found = sim::Shutdown();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].Text,
              "pool block of tag 'ffub', 200 bytes, written past its end (byte 215)");
}
#endif

// An observer of findings may allocate: the block being freed has left the
// table by then, however much the table grows meanwhile (more blocks than a
// kernel before may have left it room for).
TEST_F(Pool, FreeWhoseFindingsObserverAllocates)
{
    constexpr size_t Blocks = 20000;
    std::vector<void *> made;
    sim::SetViolationObserver([&made](const sim::Violation &) {
        for (size_t i = 0; i < Blocks; ++i)
            made.push_back(ExAllocatePoolWithTag(PagedPool, 24, FileTag));
    });
    void *block = ExAllocatePoolWithTag(PagedPool, 40, PathTag);
    ExFreePoolWithTag(block, FileTag); // the wrong tag: a finding
    sim::SetViolationObserver(nullptr);
    ASSERT_EQ(made.size(), Blocks);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_EQ(sim::PoolStatsForTag(PathTag).OutstandingCount, 0u);
    ExFreePoolWithTag(block, PathTag);
    ASSERT_EQ(sim::Violations().size(), 2u);
    EXPECT_EQ(sim::Violations()[1].Text, "pool block freed twice");
    for (void *one : made)
        ExFreePoolWithTag(one, FileTag);
    EXPECT_EQ(sim::PoolTotals().OutstandingCount, 0u);
    EXPECT_EQ(sim::Violations().size(), 2u);
}

TEST_F(Pool, MustSucceedPoolIsAViolation)
{
    void *block = ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 200, FileTag);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(sim::Violations()[0].Text.find("NonPagedPoolMustSucceed"), std::string::npos);
    ExFreePoolWithTag(block, FileTag);
}

// Every pool type but the two plain ones is a finding on Vista and 7; the
// types those versions do not know at all (the no-execute types of Windows 8,
// anything else) stop the system, and no block comes back.
class PoolTypes : public ::testing::TestWithParam<sim::Target>
{
  protected:
    void SetUp() override
    {
        sim::Options options;
        options.TargetOs = GetParam();
        sim::Reset(options);
    }
    void TearDown() override { sim::Shutdown(); }

    // The one finding of an allocation of this type ("" for none).
    static std::string FindingOf(ULONG type)
    {
        sim::ClearViolations();
        void *block = ExAllocatePoolWithTag(POOL_TYPE(type), 64, FileTag);
        if (block)
            ExFreePoolWithTag(block, FileTag);
        const auto &found = sim::Violations();
        if (found.size() > 1)
            return "more than one finding";
        return found.empty() ? "" : found[0].Text;
    }
};

TEST_P(PoolTypes, OnlyPlainNonPagedAndPagedPoolPassOnVistaAndSeven)
{
    std::string target = sim::TargetName(GetParam());
    for (ULONG type : {0u, 1u, 0u | 16u, 1u | 256u})
        EXPECT_EQ(FindingOf(type), "") << type;
    for (ULONG type : {512u, 516u, 544u, 77u, 7u, 8u}) {
        std::string found = FindingOf(type);
        EXPECT_NE(found.find("BAD_POOL_CALLER"), std::string::npos) << type << ": " << found;
        EXPECT_NE(found.find(target), std::string::npos) << found;
        sim::FailNextAllocations(0);
        EXPECT_EQ(ExAllocatePoolWithTag(POOL_TYPE(type), 64, FileTag), nullptr);
    }
    for (ULONG type : {2u, 6u, 34u, 38u, 2u | 16u})
        EXPECT_NE(FindingOf(type).find("MustS"), std::string::npos) << type;
    for (ULONG type : {3u, 4u, 5u, 32u, 33u, 37u})
        EXPECT_NE(FindingOf(type).find("reserved for the system"), std::string::npos) << type;
}

INSTANTIATE_TEST_SUITE_P(Targets, PoolTypes,
                         ::testing::Values(sim::Target::Windows7x64, sim::Target::WindowsVistax64));

TEST_F(Pool, TagsAreOneToFourPrintableCharacters)
{
    for (ULONG tag : {FileTag, 0x61u, 0x20202020u}) {
        void *block = ExAllocatePoolWithTag(PagedPool, 8, tag);
        ExFreePoolWithTag(block, tag);
    }
    EXPECT_TRUE(sim::Violations().empty());
    for (ULONG tag : {0u, 0x0A626364u, 0x7F626364u, 0x62756680u}) {
        sim::ClearViolations();
        void *block = ExAllocatePoolWithTag(PagedPool, 8, tag);
        ExFreePoolWithTag(block, tag);
        ASSERT_EQ(sim::Violations().size(), 1u) << tag;
        EXPECT_NE(sim::Violations()[0].Text.find("a tag is one to four characters"),
                  std::string::npos);
    }
    // Every allocation is checked: the same bad tag again, and after a good one.
    sim::ClearViolations();
    for (ULONG tag : {0x0A626364u, 0x0A626364u, PathTag, 0x0A626364u, PathTag}) {
        void *block = ExAllocatePoolWithTag(PagedPool, 8, tag);
        ExFreePoolWithTag(block, tag);
    }
    EXPECT_EQ(sim::Violations().size(), 3u);
}

TEST_F(Pool, PagedBlockFreedAtDispatchLevelIsAViolation)
{
    void *paged = ExAllocatePoolWithTag(PagedPool, 16, PathTag);
    void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, FileTag);
    sim::SetIrql(DISPATCH_LEVEL);
    ExFreePoolWithTag(nonPaged, FileTag);
    EXPECT_TRUE(sim::Violations().empty());
    ExFreePoolWithTag(paged, PathTag);
    sim::SetIrql(PASSIVE_LEVEL);
    ASSERT_EQ(sim::Violations().size(), 1u);
    EXPECT_NE(
        sim::Violations()[0].Text.find("paged pool block (tag 'sger') freed at DISPATCH_LEVEL"),
        std::string::npos);

    sim::ClearViolations();
    paged = ExAllocatePoolWithTag(PagedPool, 16, PathTag);
    sim::SetIrql(APC_LEVEL);
    ExFreePoolWithTag(paged, PathTag);
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(sim::Violations().empty());
}

TEST_F(Pool, LeaksAreReportedByTagExceptExpectedSurvivors)
{
    ExAllocatePoolWithTag(NonPagedPool, 200, FileTag);
    ExAllocatePoolWithTag(PagedPool, 96, PathTag);
    ExAllocatePoolWithTag(PagedPool, 96, PathTag);
    sim::ExpectSurvivingPool(FileTag);
    std::vector<sim::Violation> found = sim::Shutdown();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Text, "pool leaked at teardown: tag 'sger', 2 block(s), 192 bytes");
}

TEST_F(Pool, AllocationLogWhenAskedFor)
{
    sim::Options options;
    options.PoolLog = true;
    sim::Reset(options);
    sim::FailNextAllocations(1);
    ExAllocatePoolWithTag(PagedPool, 4, PathTag);
    void *block = ExAllocatePoolWithTag(PagedPool, 5, PathTag);
    ExFreePoolWithTag(block, 0);
    const auto &log = sim::PoolLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].Failed);
    EXPECT_EQ(log[1].Bytes, 5u);
    EXPECT_EQ(log[1].Address, block);
    EXPECT_TRUE(log[2].Free);
}

} // namespace
